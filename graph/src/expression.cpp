#include "orvanta/graph/expression.h"

#include <muParser.h>

#include <cctype>
#include <deque>

#include "orvanta/host/failure.h"

namespace orvanta::graph {

struct Expression::State {
  mu::Parser parser;
  double frame = 0.0;
  std::deque<double> slots;  // one per name the factory made; a deque keeps their addresses
  std::vector<Reference> refs;
  std::vector<std::string> badNames;
  bool usesFrame = false;

  static double* NewVariable(const char* name, void* self) {
    auto* s = static_cast<State*>(self);
    std::string n = name;
    size_t dot = n.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == n.size() ||
        n.find('.', dot + 1) != std::string::npos)
      s->badNames.push_back(n);
    else
      s->refs.push_back(Reference{n.substr(0, dot), n.substr(dot + 1)});
    s->slots.push_back(0.0);
    return &s->slots.back();
  }
};

Expression::Expression(std::string text) : text_(std::move(text)), state_(std::make_unique<State>()) {
  mu::Parser& p = state_->parser;
  if (text_.find_first_not_of(" \t\r\n") == std::string::npos)
    throw Failure("the expression " + Quoted(text_) + " is empty");
  try {
    // Names may hold dots, so that NODE.CONTROL is one variable.
    p.DefineNameChars("0123456789_.abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    p.DefineVar("frame", &state_->frame);
    p.SetVarFactory(&State::NewVariable, state_.get());
    p.SetExpr(text_);
    // Parses, calling the factory for every name not defined yet.
    state_->usesFrame = p.GetUsedVar().count("frame") > 0;
  } catch (const mu::Parser::exception_type& e) {
    throw Failure("the expression " + Quoted(text_) + " does not parse: " + e.GetMsg());
  }
  if (!state_->badNames.empty())
    throw Failure("the expression " + Quoted(text_) + " names " + Quoted(state_->badNames.front()) +
                  ", which is neither frame nor NODE.CONTROL");
}

Expression::~Expression() = default;
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;

const std::vector<Expression::Reference>& Expression::References() const { return state_->refs; }

bool Expression::UsesFrame() const { return state_->usesFrame; }

std::string Expression::WithNodeRenamed(std::string_view from, std::string_view to) const {
  // Names are runs of the name characters above; a node's name starts with a letter or '_', so a
  // run that starts with "from." is that node's control and never a number.
  auto nameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.'; };
  std::string out;
  size_t i = 0;
  while (i < text_.size()) {
    if (!nameChar(text_[i])) {
      out += text_[i++];
      continue;
    }
    size_t end = i;
    while (end < text_.size() && nameChar(text_[end])) ++end;
    std::string_view name(text_.data() + i, end - i);
    if (name.size() > from.size() && name.substr(0, from.size()) == from && name[from.size()] == '.') {
      out += to;
      out += name.substr(from.size());
    } else {
      out += name;
    }
    i = end;
  }
  return out;
}

double Expression::Evaluate(double frame, const std::vector<double>& refs) {
  State& s = *state_;
  s.frame = frame;
  for (size_t i = 0; i < refs.size() && i < s.slots.size(); ++i) s.slots[i] = refs[i];
  try {
    return s.parser.Eval();
  } catch (const mu::Parser::exception_type& e) {
    throw Failure("the expression " + Quoted(text_) + " cannot be evaluated: " + e.GetMsg());
  }
}

}  // namespace orvanta::graph

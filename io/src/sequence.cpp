#include "orvanta/io/sequence.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>

#include "orvanta/host/failure.h"

namespace orvanta::io {
namespace {

struct PatternSpan {
  size_t begin = std::string_view::npos, end = 0;
  int width = 0;
  size_t rangeBegin = std::string_view::npos;  // where a frame range written before the marks starts
};

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// A frame range written just before the marks ("shot.1-50#.exr"): digits, '-', ',' and 'x' that
// hold at least one '-' or ',' and start with a digit.
size_t RangeBefore(std::string_view path, size_t marks) {
  size_t b = marks;
  while (b > 0 && (IsDigit(path[b - 1]) || path[b - 1] == '-' || path[b - 1] == ',' || path[b - 1] == 'x'))
    --b;
  while (b < marks && !IsDigit(path[b])) ++b;
  const std::string_view run = path.substr(b, marks - b);
  if (run.empty() || run.find_first_of("-,") == std::string_view::npos) return std::string_view::npos;
  return b;
}

PatternSpan FindPattern(std::string_view path) {
  const size_t name = path.find_last_of('/') == std::string_view::npos ? 0 : path.find_last_of('/') + 1;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '#' || path[i] == '@') {
      size_t j = i;
      while (j < path.size() && path[j] == path[i]) ++j;
      const int n = int(j - i);
      PatternSpan p{i, j, path[i] == '#' && n == 1 ? 4 : n};
      if (i >= name) p.rangeBegin = RangeBefore(path, i);
      return p;
    }
    if (path[i] == '%') {
      size_t j = i + 1;
      int width = 0;
      if (j < path.size() && path[j] == '0') {
        ++j;
        if (j < path.size() && IsDigit(path[j]))
          width = path[j++] - '0';
        else
          continue;
      }
      if (j < path.size() && path[j] == 'd') return {i, j + 1, width};
    }
  }
  return {};
}

// A whole non-negative frame number; false when the text is not one.
bool ParseFrame(std::string_view s, int32_t& out) {
  if (s.empty() || !std::isdigit(static_cast<unsigned char>(s[0]))) return false;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v > kMaxFrame) return false;
  out = int32_t(v);
  return true;
}

}  // namespace

std::vector<int32_t> ParseFrames(std::string_view text) {
  auto bad = [&](const std::string& why) {
    return Failure("the frame range " + Quoted(std::string(text)) + " is not valid: " + why);
  };
  if (text.empty()) throw bad("it is empty");
  std::vector<int32_t> frames;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t comma = text.find(',', pos);
    std::string_view part =
        text.substr(pos, comma == std::string_view::npos ? text.size() - pos : comma - pos);
    if (part.empty()) throw bad("it has an empty part");
    std::string_view range = part, stepText;
    if (size_t x = part.find('x'); x != std::string_view::npos) {
      range = part.substr(0, x);
      stepText = part.substr(x + 1);
    }
    int32_t first = 0, last = 0, step = 1;
    size_t dash = range.find('-');
    if (dash == std::string_view::npos) {
      if (!ParseFrame(range, first)) throw bad("give frames as whole numbers from 0 to 9999999");
      if (!stepText.empty() || part.find('x') != std::string_view::npos)
        throw bad("a step needs a range such as 1-100x2");
      last = first;
    } else {
      if (!ParseFrame(range.substr(0, dash), first) || !ParseFrame(range.substr(dash + 1), last))
        throw bad("give frames as whole numbers from 0 to 9999999");
      if (last < first) throw bad("it ends before it starts");
      if (part.find('x') != std::string_view::npos && (!ParseFrame(stepText, step) || step < 1))
        throw bad("the step must be a whole number of at least 1");
    }
    for (int64_t f = first; f <= last; f += step) {
      if (frames.size() >= kMaxFrameCount) throw bad("it has more than a million frames");
      frames.push_back(int32_t(f));
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
    if (pos == text.size()) throw bad("it has an empty part");
  }
  return frames;
}

bool HasFramePattern(std::string_view path) { return FindPattern(path).begin != std::string_view::npos; }

std::string FramePath(std::string_view path, int32_t frame) {
  PatternSpan p = FindPattern(path);
  if (p.begin == std::string_view::npos) return std::string(path);
  std::string digits = std::to_string(frame);
  if (int(digits.size()) < p.width) digits.insert(0, size_t(p.width) - digits.size(), '0');
  const size_t from = p.rangeBegin != std::string_view::npos ? p.rangeBegin : p.begin;
  return std::string(path.substr(0, from)) + digits + std::string(path.substr(p.end));
}

std::vector<int32_t> FramesInPattern(std::string_view path) {
  PatternSpan p = FindPattern(path);
  if (p.rangeBegin == std::string_view::npos) return {};
  std::vector<int32_t> frames = ParseFrames(path.substr(p.rangeBegin, p.begin - p.rangeBegin));
  std::sort(frames.begin(), frames.end());
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  return frames;
}

std::vector<int32_t> FramesOnDisk(const std::string& path) {
  const PatternSpan p = FindPattern(path);
  if (p.begin == std::string_view::npos) return {};
  const size_t slash = path.find_last_of('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (p.begin < nameStart) return {};  // a pattern in a folder's name is not searched for
  const std::string pattern = path.substr(nameStart);
  const size_t from = (p.rangeBegin != std::string_view::npos ? p.rangeBegin : p.begin) - nameStart;
  const std::string prefix = pattern.substr(0, from), suffix = pattern.substr(p.end - nameStart);
  std::error_code ec;
  const std::filesystem::path dir = slash == std::string::npos ? "." : path.substr(0, nameStart);
  std::vector<int32_t> frames;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    int32_t frame = 0;
    if (ParseFrame(std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - suffix.size()),
                   frame) &&
        FramePath(pattern, frame) == name)
      frames.push_back(frame);
    if (frames.size() > kMaxFrameCount) break;
  }
  std::sort(frames.begin(), frames.end());
  return frames;
}

}  // namespace orvanta::io

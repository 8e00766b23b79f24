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
};

PatternSpan FindPattern(std::string_view path) {
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '#') {
      size_t j = i;
      while (j < path.size() && path[j] == '#') ++j;
      int n = int(j - i);
      return {i, j, n == 1 ? 4 : n};
    }
    if (path[i] == '%') {
      size_t j = i + 1;
      int width = 0;
      if (j < path.size() && path[j] == '0') {
        ++j;
        if (j < path.size() && std::isdigit(static_cast<unsigned char>(path[j])))
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
  return std::string(path.substr(0, p.begin)) + digits + std::string(path.substr(p.end));
}

std::vector<int32_t> FramesOnDisk(const std::string& pattern) {
  namespace fs = std::filesystem;
  const fs::path path(pattern);
  const std::string name = path.filename().string();
  const PatternSpan p = FindPattern(name);
  std::vector<int32_t> frames;
  if (p.begin == std::string_view::npos) return frames;
  const std::string_view head = std::string_view(name).substr(0, p.begin);
  const std::string_view tail = std::string_view(name).substr(p.end);
  std::error_code ec;
  fs::directory_iterator it(path.has_parent_path() ? path.parent_path() : fs::path("."), ec);
  for (; !ec && it != fs::directory_iterator() && frames.size() < kMaxFrameCount; it.increment(ec)) {
    const std::string file = it->path().filename().string();
    if (file.size() <= head.size() + tail.size() || file.compare(0, head.size(), head) != 0 ||
        file.compare(file.size() - tail.size(), tail.size(), tail) != 0)
      continue;
    int32_t frame = 0;
    const std::string_view digits =
        std::string_view(file).substr(head.size(), file.size() - head.size() - tail.size());
    if (ParseFrame(digits, frame) && FramePath(name, frame) == file) frames.push_back(frame);
  }
  std::sort(frames.begin(), frames.end());
  return frames;
}

}  // namespace orvanta::io

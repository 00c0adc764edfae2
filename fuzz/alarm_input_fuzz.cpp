// Feeds arbitrary bytes, cut into arbitrary receives, through the line
// assembly of the alarm-input connection. The first byte chooses the limit
// (small, so overlong lines are common) and the second how the rest is cut.
// Checks that the lines do not depend on where the receives were cut, that
// they equal those of a plain one-pass reading, that no line holds a line
// end or exceeds the limit, and that the unfinished part stays bounded.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "camera_http/line_assembler.h"
#include "fuzz/fuzz_support.h"

using fuzz_support::Check;

namespace {

struct Result {
  std::vector<camera_http::LineAssembler::Line> lines;
  std::string unfinished;
};

// The same rules, read byte by byte in one pass.
Result Reference(std::string_view bytes, std::size_t limit) {
  Result r;
  std::string line;
  bool after_cr = false, dropping = false;
  for (char c : bytes) {
    if (after_cr && c == '\n') {
      after_cr = false;
      continue;
    }
    after_cr = c == '\r';
    if (c == '\r' || c == '\n') {
      if (!dropping) r.lines.push_back({line, false});
      line.clear();
      dropping = false;
      continue;
    }
    if (dropping) continue;
    if (line.size() == limit) {
      r.lines.push_back({line, true});
      line.clear();
      dropping = true;
      continue;
    }
    line += c;
  }
  r.unfinished = dropping ? "" : line;
  return r;
}

bool Same(const std::vector<camera_http::LineAssembler::Line>& a,
          const std::vector<camera_http::LineAssembler::Line>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].text != b[i].text || a[i].overlong != b[i].overlong) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t limit = 1 + data[0] % 64;
  std::uint32_t cuts = data[1] | 1u;  // drives the receive sizes
  std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  camera_http::LineAssembler split(limit);
  std::vector<camera_http::LineAssembler::Line> lines;
  std::size_t at = 0;
  while (at < bytes.size()) {
    cuts = cuts * 1103515245u + 12345u;
    std::size_t n = std::min<std::size_t>(bytes.size() - at, 1 + (cuts >> 16) % 17);
    for (camera_http::LineAssembler::Line& line : split.Feed(bytes.substr(at, n)))
      lines.push_back(std::move(line));
    Check(split.pending() <= limit);
    at += n;
  }
  for (const camera_http::LineAssembler::Line& line : lines) {
    Check(line.text.size() <= limit);
    Check(!line.overlong || line.text.size() == limit);
    Check(line.text.find_first_of("\r\n") == std::string::npos);
  }

  camera_http::LineAssembler whole(limit);
  std::vector<camera_http::LineAssembler::Line> at_once = whole.Feed(bytes);
  Check(Same(lines, at_once));
  Result expected = Reference(bytes, limit);
  Check(Same(lines, expected.lines));
  std::string rest = split.TakeUnfinished();
  Check(rest == expected.unfinished);
  Check(rest == whole.TakeUnfinished());
  Check(split.pending() == 0);
  return 0;
}

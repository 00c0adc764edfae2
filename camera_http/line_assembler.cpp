#include "camera_http/line_assembler.h"

#include <algorithm>

namespace camera_http {

std::vector<LineAssembler::Line> LineAssembler::Feed(std::string_view bytes) {
  std::vector<Line> lines;
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (after_cr_ && bytes[i] == '\n') {  // the second half of a CR LF
      after_cr_ = false;
      ++i;
      continue;
    }
    after_cr_ = false;
    // The run up to the next line end is taken in one piece.
    std::size_t end = bytes.find_first_of("\r\n", i);
    std::size_t stop = end == std::string_view::npos ? bytes.size() : end;
    std::string_view run = bytes.substr(i, stop - i);
    if (!dropping_) {
      std::size_t room = limit_ - pending_.size();
      if (run.size() > room) {
        pending_.append(run.substr(0, room));
        lines.push_back(Line{std::move(pending_), true});
        pending_.clear();
        dropping_ = true;
      } else {
        pending_.append(run);
      }
    }
    if (end == std::string_view::npos) break;
    if (!dropping_) lines.push_back(Line{std::move(pending_), false});
    pending_.clear();
    dropping_ = false;
    after_cr_ = bytes[end] == '\r';
    i = end + 1;
  }
  return lines;
}

std::string LineAssembler::TakeUnfinished() {
  std::string rest = std::move(pending_);
  pending_.clear();
  after_cr_ = false;
  dropping_ = false;
  return rest;
}

}  // namespace camera_http

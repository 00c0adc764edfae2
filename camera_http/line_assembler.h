#pragma once
// Cuts the byte stream of one alarm-input connection into lines, whatever
// way the network splits it into receives: the unfinished end of a receive
// is kept and completed by the next one. CR LF, a lone LF and a lone CR each
// end a line (CR LF once, even when the CR ends one receive and the LF opens
// the next). What waits for its line end is bounded: a line that grows past
// the limit is handed out once, marked overlong, and the rest of it up to
// its line end is dropped, so a device that never ends a line costs neither
// memory nor a stuck connection.
//
// Pure: no I/O, no logging; the alarm-input server and the fuzzer use it.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace camera_http {

class LineAssembler {
 public:
  // Bytes a line may hold while it waits for its end.
  static constexpr std::size_t kDefaultLimit = 4096;

  struct Line {
    std::string text;       // without its line end; an overlong line: its first `limit` bytes
    bool overlong = false;  // no line end within `limit` bytes; the rest of it is dropped
  };

  explicit LineAssembler(std::size_t limit = kDefaultLimit) : limit_(limit == 0 ? 1 : limit) {}

  // The lines that `bytes` completes, in order.
  std::vector<Line> Feed(std::string_view bytes);

  // The unfinished line (empty while dropping an overlong one), forgotten:
  // what a connection that ends leaves behind.
  std::string TakeUnfinished();

  std::size_t pending() const { return pending_.size(); }
  std::size_t limit() const { return limit_; }

 private:
  std::size_t limit_;
  std::string pending_;
  bool after_cr_ = false;  // the last byte fed was a CR: an LF now ends nothing
  bool dropping_ = false;  // inside the rest of an overlong line
};

}  // namespace camera_http

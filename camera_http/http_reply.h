#pragma once
// The reading of one HTTP reply from the bytes a camera sends, apart from
// the socket that brings them: the command client feeds it each receive,
// and the fuzz target feeds it any bytes cut anywhere.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace camera_http {

// Size of the reply, body and error text buffers; each holds at most one
// character less and a terminating NUL.
inline constexpr std::size_t kHttpReplySize = 2048;

// The status code of a status line: the leading digits of its second
// blank-separated word, 0 when there is none. Only the blank separates
// words: a tab or a line end belongs to the word it touches.
int HttpStatusOfLine(std::string_view line);

// Reads one reply as its head says it is framed, into a text of at most
// kHttpReplySize - 1 bytes: the head as it came, then the body (a chunked
// body without its chunk lines, so that an expression over the reply never
// meets a chunk boundary). A reply that fills the text is finished there.
// The result does not depend on how the bytes are cut into receives.
class HttpReplyReader {
 public:
  // Takes the next bytes received.
  void Feed(std::string_view data);
  // The camera closed (or the connection failed): what has come is the
  // reply, unless it was already found bad.
  void Closed();
  bool finished() const { return state_ == State::kDone || state_ == State::kBad; }
  bool bad() const { return state_ == State::kBad; }
  // Why the reply was found bad, in words for a message.
  const std::string& why() const { return why_; }
  const std::string& reply() const { return reply_; }

 private:
  enum class State {
    kHead,
    kLength,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kTrailer,
    kUntilClose,
    kDone,
    kBad
  };

  void Fail(std::string why);
  // Appends to the reply what fits; a full reply is finished.
  void Keep(std::string_view bytes);
  // Body bytes of a known length (a Content-Length or a chunk).
  void TakeCounted(State next);
  // Decides from the head how the body is framed.
  void Frame(std::string_view head);
  // The size of the next chunk, from its line "HEX[;extensions]".
  void ChunkSize(std::string_view line);
  // Takes one line of chunk framing from the pending bytes into `line`;
  // false while it has not come whole.
  bool TakeLine(std::string* line);
  void Process();

  State state_ = State::kHead;
  std::string pending_;  // received, not yet taken into the reply
  std::string reply_;
  std::uint64_t left_ = 0;  // bytes of the body or chunk still to come
  std::string why_;
};

}  // namespace camera_http

// Feeds arbitrary bytes as a camera's reply to a command, cut into receives
// of varying sizes, through the reply reading of the HTTP client, then
// judges the reply and answers its authentication challenge as the client
// does. The first byte chooses the receive sizes and the command, the
// second seeds the sizes. Checks that the reply does not depend on where
// the receives were cut, that it fits its buffer and keeps the head as it
// came, that the status reads the same both ways the client reads it, and
// that an answered challenge adds exactly one Authorization line, with no
// line end inside it, behind the request line.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "camera_http/http_auth.h"
#include "camera_http/http_client.h"
#include "camera_http/http_reply.h"
#include "fuzz/fuzz_support.h"

using fuzz_support::Check;

namespace {

constexpr std::string_view kCommands[] = {
    "GET /axis-cgi/io/port.cgi?action=2%3A%2F HTTP/1.1\r\nHost: camera\r\n\r\n",
    "POST /ISAPI/Event/trigger HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody",
    "GET /cgi-bin/snapshot.cgi HTTP/1.1\r\n\r\n",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static const std::size_t kLargest[] = {1, 7, 300, 2047};
  const std::size_t largest = kLargest[data[0] % 4];
  const std::string_view command = kCommands[(data[0] >> 2) % 3];
  std::uint32_t cuts = data[1] | 1u;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

  camera_http::HttpReplyReader whole;
  whole.Feed(bytes);
  if (!whole.finished()) whole.Closed();

  // As the client reads: receive after receive until the reply is complete.
  camera_http::HttpReplyReader split;
  std::size_t at = 0;
  while (at < bytes.size() && !split.finished()) {
    cuts = cuts * 1103515245u + 12345u;
    std::size_t n = std::min(bytes.size() - at, 1 + static_cast<std::size_t>(cuts >> 8) % largest);
    split.Feed(bytes.substr(at, n));
    at += n;
  }
  if (!split.finished()) split.Closed();

  Check(split.finished() && whole.finished());
  Check(split.bad() == whole.bad());
  Check(split.why() == whole.why());
  Check(split.reply() == whole.reply());
  const std::string& reply = split.reply();
  Check(reply.size() <= camera_http::kHttpReplySize - 1);
  Check(split.bad() != split.why().empty());
  std::size_t head_end = bytes.find("\r\n\r\n");
  std::size_t head_size =
      std::min(reply.size(), head_end == std::string_view::npos ? bytes.size() : head_end + 4);
  Check(std::string_view(reply).substr(0, head_size) == bytes.substr(0, head_size));

  // The status as the client judges it, and as the caller's GetReplyStatus does.
  auto body = std::make_unique<std::array<char, camera_http::kHttpReplySize>>();
  int status = camera_http::GetReplyStatus(reply.c_str(), *body);
  Check(status == camera_http::HttpStatusCode(reply));
  Check(std::strlen(body->data()) < camera_http::kHttpReplySize);

  // A 401 is answered from the head only.
  std::string_view head = reply;
  if (std::size_t end = head.find("\r\n\r\n"); end != std::string_view::npos)
    head = head.substr(0, end + 4);
  camera_http::HttpCredentials credentials{"operator", "pa:ss\"word"};
  std::string authorized, scheme, why;
  Check(!camera_http::HasAuthorizationLine(command));
  if (camera_http::AnswerChallenge(command, head, credentials, &authorized, &scheme, &why)) {
    Check(!scheme.empty());
    Check(camera_http::HasAuthorizationLine(authorized));
    std::size_t eol = command.find("\r\n") + 2;
    Check(std::string_view(authorized).substr(0, eol) == command.substr(0, eol));
    Check(std::string_view(authorized).ends_with(command.substr(eol)));
    std::string_view added =
        std::string_view(authorized).substr(eol, authorized.size() - command.size());
    Check(added.starts_with("Authorization: ") && added.ends_with("\r\n"));
    added.remove_suffix(2);
    Check(added.find_first_of("\r\n") == std::string_view::npos);
    Check(added.find('\0') == std::string_view::npos);
  } else {
    Check(!why.empty());
  }
  // Every header lookup the reader makes stays within the head.
  Check(camera_http::HeaderValues(head, "Content-Length").size() <= head.size());
  return 0;
}

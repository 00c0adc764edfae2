#pragma once
// The little HTTP the simulated devices speak: request heads in, status
// replies out.
#include <string>
#include <string_view>

namespace sim {

// A request head is read for at most this long and this many bytes.
inline constexpr int kRequestTimeoutMs = 10000;
inline constexpr std::size_t kMaxRequestHead = 16384;

struct HttpRequest {
  std::string method;
  std::string target;         // as sent, query included
  std::string authorization;  // value of the Authorization header, if any
};

// Parses a request head (request line and headers up to the empty line).
// False when the request line is malformed.
bool ParseRequestHead(std::string_view head, HttpRequest* request);

// True when `target` names `path`: the same text, or `path` followed by a
// query when `path` has none of its own.
bool TargetMatches(std::string_view target, std::string_view path);

// True when `authorization` is "Basic " and the base64 of "user:pass".
bool BasicAuthMatches(std::string_view authorization, std::string_view user,
                      std::string_view pass);

// A complete reply with a short text body; 401 carries the Basic challenge.
std::string StatusReply(int status);

// A complete reply with the given body (and its length).
std::string ReplyWithBody(int status, std::string_view body);

// The text after the status code in a status line ("OK", "Not Found").
const char* ReasonPhrase(int status);

// Where a request in `data` ends: behind its first NUL byte (the gateway
// ends every request text with one) or, while no NUL has come, behind the
// blank line that ends the head. 0 when neither has come; `*by_nul` tells
// which end it was.
std::size_t RequestEnd(std::string_view data, bool* by_nul);

}  // namespace sim

#pragma once
// The little HTTP the simulated devices speak: request heads in, status
// replies out.
#include <functional>
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
bool BasicAuthMatches(std::string_view authorization, std::string_view user, std::string_view pass);

// The realm of every challenge.
inline constexpr std::string_view kRealm = "ocelam-sim";

// A complete reply with a short text body. A 401 carries `challenge` as its
// WWW-Authenticate value, or the Basic challenge when it is empty.
std::string StatusReply(int status, std::string_view challenge = {});

// The WWW-Authenticate value of a Digest challenge (`qop`: with qop="auth";
// without it the older form, which names no algorithm for MD5).
std::string DigestChallenge(std::string_view algorithm, bool qop, std::string_view nonce,
                            std::string_view opaque);

// Whether `authorization` ("Digest name=value, ...") answers a challenge of
// `algorithm` and `qop` for `user`:`pass`, `method` and `target`;
// `nonce_known` says whether a nonce is one the camera gave out.
bool DigestAuthMatches(std::string_view authorization, std::string_view method,
                       std::string_view target, std::string_view user, std::string_view pass,
                       std::string_view algorithm, bool qop,
                       const std::function<bool(std::string_view)>& nonce_known);

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

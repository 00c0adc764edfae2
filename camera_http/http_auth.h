#pragma once
// Answers to the HTTP authentication challenges of cameras and video
// servers: Basic, and Digest with MD5 or SHA-256 (also their "-sess"
// forms), with qop=auth or in the older form without qop. The commands our
// HTTP client sends are whole requests from templates; a request whose
// template carries no Authorization line of its own and that is refused with
// 401 is sent once more with the answer built here.
#include <string>
#include <string_view>

namespace camera_http {

// The user and password of one camera or video server ("Username",
// "Password" of its section). Nothing is answered without a user, and a
// Basic challenge only with `allow_basic` ("AllowBasicAuth" of the section).
struct HttpCredentials {
  std::string user;
  std::string password;
  bool allow_basic = false;
  bool empty() const { return user.empty(); }
};

// Whether `request` has an "Authorization:" header line (any case) of its
// own; such a request is never answered for.
bool HasAuthorizationLine(std::string_view request);

// The value of every `name` header line (compared without regard to case)
// of the reply head `head`, joined by ", " as HTTP allows.
std::string HeaderValues(std::string_view head, std::string_view name);

// Builds `request` once more with an Authorization line (right after its
// request line) that answers the strongest challenge we can of the
// WWW-Authenticate lines in `reply_head`: Digest SHA-256, then Digest MD5,
// then Basic when the credentials allow it. `*scheme` names what was
// answered ("Digest SHA-256", "Basic"). False when nothing can be answered,
// with `*why` saying why in words for a log line (no challenge, a malformed
// header, an unknown algorithm or qop, Basic alone and not allowed, a
// request without a request line); the password is then in no answer.
bool AnswerChallenge(std::string_view request, std::string_view reply_head,
                     const HttpCredentials& credentials, std::string* authorized,
                     std::string* scheme, std::string* why);

}  // namespace camera_http

#include "status/access_gate.h"

#include <arpa/inet.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>

#include "core/console.h"
#include "core/report.h"
#include "platform/strings.h"

namespace status {

namespace {

constexpr const char* kHalfLogin =
    "ERROR: StatusUser and StatusPasswordHash are set one without the other: the status port "
    "refuses every request";
constexpr const char* kColonInUser =
    "ERROR: StatusUser holds a ':', which a Basic login cannot carry: the status port refuses "
    "every request";
constexpr const char* kBadHash =
    "ERROR: StatusPasswordHash cannot be used (%s): the status port refuses every request; make "
    "one with 'ocelam --hash-password'";
constexpr const char* kNoRandom =
    "ERROR: no random bytes for the status port's login: the status port refuses every request";
constexpr const char* kFailedLogins = "Status port %d: %d failed logins (the last from %s)";
constexpr const char* kAuthorizationHeader = "Authorization";
constexpr const char* kChallengeHeader = "WWW-Authenticate";
constexpr const char* kChallenge = "Basic realm=\"ocelam\"";
constexpr const char* kRetryAfterHeader = "Retry-After";
constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kLoginNeededText = "Login needed\n";
constexpr const char* kHttpsNeededText =
    "HTTPS is needed to log in from another machine: this port speaks plain HTTP\n";
constexpr const char* kPausedText = "Too many failed logins: try again later\n";
constexpr const char* kMisconfiguredText =
    "The status port's login is misconfigured: see the gateway's log\n";
constexpr std::string_view kBasicScheme = "basic";
// Longer values are no credentials of ours (a user name and a password of
// a few hundred bytes at most).
constexpr std::size_t kAuthorizationMax = 1024;
// The first pause after a failed login, doubled with each failure in a row
// up to the longest; a peer quiet that long starts again from the first.
constexpr std::int64_t kPauseFirstUs = platform::kMicrosPerSecond;
constexpr std::int64_t kPauseMaxUs = 60 * platform::kMicrosPerSecond;

// The "user:password" bytes of a "Basic <base64>" value; false for any other value.
bool DecodeBasic(std::string_view value, std::vector<unsigned char>& decoded) {
  if (value.size() > kAuthorizationMax || value.size() <= kBasicScheme.size() ||
      value[kBasicScheme.size()] != ' ')
    return false;
  for (std::size_t i = 0; i < kBasicScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(value[i])) != kBasicScheme[i]) return false;
  value.remove_prefix(kBasicScheme.size());
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  return Base64Decode(value, decoded);
}

}  // namespace

bool LoginAllowedOver(std::string_view peer, bool tls) {
  if (tls) return true;
  const std::string text(peer);
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1)
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  return false;
}

AccessGate::AccessGate(platform::Clock& clock, int port, bool tls, std::string user,
                       std::string_view hash_text)
    : clock_(clock), port_(port), tls_(tls), user_(std::move(user)) {
  if (user_.empty() && hash_text.empty()) return;
  if (user_.empty() || hash_text.empty()) {
    problem_ = kHalfLogin;
    return;
  }
  if (user_.find(':') != std::string::npos) {
    problem_ = kColonInUser;
    return;
  }
  if (RAND_bytes(mac_key_.data(), static_cast<int>(mac_key_.size())) != 1) {
    problem_ = kNoRandom;
    return;
  }
  platform::Result<PasswordHash> parsed = PasswordHash::Parse(hash_text);
  if (!parsed) {
    problem_ = platform::StringPrintf(kBadHash, parsed.status().reason().c_str());
    return;
  }
  hash_ = *parsed;
}

AccessGate::Digest AccessGate::Mac(std::string_view text) const {
  Digest digest{};
  unsigned int size = 0;
  (void)HMAC(EVP_sha256(), mac_key_.data(), static_cast<int>(mac_key_.size()),
             reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data(),
             &size);
  return digest;
}

bool AccessGate::Matches(std::string_view authorization) const {
  std::vector<unsigned char> decoded;
  bool matches = false;
  if (DecodeBasic(authorization, decoded)) {
    const std::string_view text(reinterpret_cast<const char*>(decoded.data()), decoded.size());
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
      // Both are checked whatever the first gives, so the time taken tells nothing.
      const Digest given = Mac(text.substr(0, colon)), expected = Mac(user_);
      const bool same_user = CRYPTO_memcmp(given.data(), expected.data(), given.size()) == 0;
      const bool same_password = hash_->Verifies(text.substr(colon + 1));
      matches = same_user && same_password;
    }
  }
  OPENSSL_cleanse(decoded.data(), decoded.size());
  return matches;
}

bool AccessGate::Remembered(const Digest& digest, std::int64_t now_us) {
  for (Verified& v : verified_) {
    if (v.used_us != 0 && CRYPTO_memcmp(v.digest.data(), digest.data(), digest.size()) == 0) {
      v.used_us = now_us;
      return true;
    }
  }
  return false;
}

bool AccessGate::Paused(const std::string& peer, std::int64_t now_us) const {
  return std::any_of(paused_.begin(), paused_.end(),
                     [&](const Pause& p) { return p.peer == peer && now_us < p.until_us; });
}

void AccessGate::Record(const std::string& peer, const Digest& digest, bool right,
                        std::int64_t now_us) {
  auto mine = std::find_if(paused_.begin(), paused_.end(),
                           [&](const Pause& p) { return p.peer == peer; });
  if (right) {
    auto slot = std::min_element(verified_.begin(), verified_.end(),
                                 [](const Verified& a, const Verified& b) {
                                   return a.used_us < b.used_us;
                                 });
    *slot = {digest, now_us};
    if (mine != paused_.end()) paused_.erase(mine);
    return;
  }
  failed_.Add(now_us, peer);
  if (mine == paused_.end() && paused_.size() < kPausedPeersMax)
    mine = paused_.insert(paused_.end(), Pause{peer, 0, 0});
  else if (mine == paused_.end())
    mine = std::min_element(paused_.begin(), paused_.end(), [](const Pause& a, const Pause& b) {
      return a.until_us < b.until_us;
    });
  if (mine->peer != peer || now_us - mine->until_us > kPauseMaxUs) *mine = Pause{peer, 0, 0};
  std::int64_t pause = kPauseFirstUs;
  for (int i = 0; i < mine->failures && pause < kPauseMaxUs; ++i) pause *= 2;
  mine->failures = std::min(mine->failures + 1, 16);
  mine->until_us = now_us + std::min(pause, kPauseMaxUs);
}

Verdict AccessGate::Judge(const std::string& peer,
                          const std::optional<std::string>& authorization) {
  if (!problem_.empty()) return Verdict::kMisconfigured;
  if (!hash_) return Verdict::kPass;
  if (!LoginAllowedOver(peer, tls_)) return Verdict::kHttpsNeeded;
  if (!authorization) return Verdict::kLoginNeeded;
  const Digest digest = Mac(*authorization);
  auto known = [&]() -> std::optional<Verdict> {
    platform::MutexLock guard(lock_);
    const std::int64_t now_us = clock_.MonotonicMicros();
    if (Remembered(digest, now_us)) return Verdict::kPass;
    if (Paused(peer, now_us)) return Verdict::kPaused;
    return std::nullopt;
  };
  if (std::optional<Verdict> verdict = known()) return *verdict;
  // One verification at a time; one that waited finds what the one before
  // it learnt.
  platform::MutexLock one_at_a_time(verify_lock_);
  if (std::optional<Verdict> verdict = known()) return *verdict;
  const bool right = Matches(*authorization);
  platform::MutexLock guard(lock_);
  Record(peer, digest, right, clock_.MonotonicMicros());
  return right ? Verdict::kPass : Verdict::kLoginNeeded;
}

httplib::Server::HandlerResponse AccessGate::Check(const httplib::Request& req,
                                                   httplib::Response& res) {
  std::optional<std::string> authorization;
  if (req.has_header(kAuthorizationHeader))
    authorization = req.get_header_value(kAuthorizationHeader);
  const Verdict verdict = Judge(req.remote_addr, authorization);
  if (authorization) OPENSSL_cleanse(authorization->data(), authorization->size());
  switch (verdict) {
    case Verdict::kPass:
      return httplib::Server::HandlerResponse::Unhandled;
    case Verdict::kLoginNeeded:
      res.status = 401;
      res.set_header(kChallengeHeader, kChallenge);
      res.set_content(kLoginNeededText, kTextType);
      break;
    case Verdict::kHttpsNeeded:
      res.status = 403;
      res.set_content(kHttpsNeededText, kTextType);
      break;
    case Verdict::kPaused:
      res.status = 429;
      res.set_header(kRetryAfterHeader, std::to_string(kPauseFirstUs / platform::kMicrosPerSecond));
      res.set_content(kPausedText, kTextType);
      break;
    case Verdict::kMisconfigured:
      res.status = 503;
      res.set_content(kMisconfiguredText, kTextType);
      break;
  }
  return httplib::Server::HandlerResponse::Handled;
}

void AccessGate::Tell(std::int64_t now_us) {
  std::string line;
  {
    platform::MutexLock guard(lock_);
    if (!failed_.Due(now_us)) return;
    line = platform::StringPrintf(kFailedLogins, port_, failed_.count, failed_.last.c_str());
    failed_.Told(now_us);
  }
  core::ConsoleAndReport(line, core::ConsoleLevel::kNormal, core::ReportLevel::kInfo);
}

}  // namespace status

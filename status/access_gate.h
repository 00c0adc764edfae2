#pragma once
// AccessGate: the status port's login ("StatusUser", "StatusPasswordHash"),
// judged for every request before the library routes it (the server's
// pre-routing handler), so every route, those added later included, is
// behind it. With both keys set, a request needs HTTP Basic credentials of
// that user, accepted over HTTPS, or over plain HTTP from a loopback peer
// only: plain HTTP from elsewhere is refused without looking at them. With
// neither set there is no login. A hash that cannot be read, or one key
// without the other, refuses every request (fail closed).
//
// A right login is remembered (an HMAC, under a key drawn at start, of its
// Authorization value; kVerifiedMax of them, the least recently used
// replaced), so a page of many pictures costs one PBKDF2 verification. A
// peer whose login failed waits 1 s before its next one is verified,
// doubling with each failure in a row up to 60 s; verifications run one at
// a time. Failed logins are told at most once a minute, with their count
// and the last peer; the Authorization value and the password never.
//
// Threads: Check runs on the port's workers, Tell on the listener thread.
// Locks: `verify_lock_` is held across one verification (seconds at most)
// and is taken before `lock_`; `lock_` guards the remembered logins, the
// pauses and the tally, and is a leaf (no log line under it).
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>

#include "platform/clock.h"
#include "platform/mutex.h"
#include "status/password_hash.h"
#include "status/tally.h"

namespace status {

enum class Verdict {
  kPass,
  kLoginNeeded,   // 401: no credentials, or wrong ones
  kHttpsNeeded,   // 403: plain HTTP from a peer that is not this machine
  kPaused,        // 429: this peer's last logins failed
  kMisconfigured  // 503: the login's keys cannot be used
};

// Whether a login may be accepted from `peer` (numeric IPv4 or IPv6 text)
// over a connection that is TLS or not: over TLS always, else only from a
// loopback address (127.0.0.0/8, ::1, and those as IPv4-mapped IPv6).
bool LoginAllowedOver(std::string_view peer, bool tls);

class AccessGate {
 public:
  // `user` and `hash_text` as read; `tls`: the port speaks HTTPS; `port`
  // names it in the lines told. The clock measures the pauses.
  AccessGate(platform::Clock& clock, int port, bool tls, std::string user,
             std::string_view hash_text);
  AccessGate(const AccessGate&) = delete;
  AccessGate& operator=(const AccessGate&) = delete;

  // What is wrong with the keys, one line for the caller to report; empty
  // when they can be used.
  const std::string& problem() const { return problem_; }

  // The verdict for a request from `peer` with `authorization` (the header's
  // value; nullopt without one).
  Verdict Judge(const std::string& peer, const std::optional<std::string>& authorization);
  // Judge applied to a request: the refusal is written into `res`.
  httplib::Server::HandlerResponse Check(const httplib::Request& req, httplib::Response& res);

  // Tells the failed logins counted, when due; called every second or so.
  void Tell(std::int64_t now_us);

 private:
  static constexpr std::size_t kVerifiedMax = 8;
  static constexpr std::size_t kPausedPeersMax = 64;
  using Digest = std::array<unsigned char, 32>;
  struct Verified {
    Digest digest{};
    std::int64_t used_us = 0;  // 0: empty
  };
  struct Pause {
    std::string peer;
    int failures = 0;
    std::int64_t until_us = 0;
  };

  Digest Mac(std::string_view authorization) const;
  // Whether `authorization` is "Basic" credentials of the user and password.
  bool Matches(std::string_view authorization) const;
  bool Remembered(const Digest& digest, std::int64_t now_us) REQUIRES(lock_);
  bool Paused(const std::string& peer, std::int64_t now_us) const REQUIRES(lock_);
  void Record(const std::string& peer, const Digest& digest, bool right, std::int64_t now_us)
      REQUIRES(lock_);

  platform::Clock& clock_;
  const int port_;
  const bool tls_;
  const std::string user_;
  std::optional<PasswordHash> hash_;  // set when the login is on and usable
  std::string problem_;
  std::array<unsigned char, 32> mac_key_{};

  platform::Mutex verify_lock_;  // taken before lock_
  platform::Mutex lock_;
  std::array<Verified, kVerifiedMax> verified_ GUARDED_BY(lock_);
  std::vector<Pause> paused_ GUARDED_BY(lock_);
  Tally failed_ GUARDED_BY(lock_);
};

}  // namespace status

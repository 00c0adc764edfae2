#pragma once
// The status port's password hash ("StatusPasswordHash"): a salted PBKDF2
// with HMAC-SHA-256 (OpenSSL's libcrypto), kept as self-describing text
//   pbkdf2-sha256$<iterations>$<salt, base64>$<derived key, base64>
// which `ocelam --hash-password` prints and the status port checks logins
// against. Plain functions and a value type: no thread, no lock; a
// PasswordHash is read by many workers at once and never changed.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace status {

// What `ocelam --hash-password` uses: about a third of a second of one core
// on the machines the gateway runs on.
inline constexpr int kPasswordHashIterations = 600000;
// What a hash text may ask for: fewer is too cheap to guess against, more
// would hold a worker for many seconds per login.
inline constexpr int kPasswordHashIterationsMin = 1000;
inline constexpr int kPasswordHashIterationsMax = 5000000;
inline constexpr std::size_t kPasswordSaltBytes = 16;
inline constexpr std::size_t kPasswordKeyBytes = 32;

struct PasswordHash {
  int iterations = 0;
  std::vector<unsigned char> salt;
  std::array<unsigned char, kPasswordKeyBytes> key{};

  // Parses a hash text; the failure says what is wrong with it (never the
  // text itself).
  static platform::Result<PasswordHash> Parse(std::string_view text);
  // A new hash of `password` with a fresh random salt.
  static platform::Result<PasswordHash> Make(std::string_view password,
                                             int iterations = kPasswordHashIterations);

  std::string Text() const;
  // Whether `password` derives the same key; compared in constant time.
  bool Verifies(std::string_view password) const;
};

// Standard base64 with padding, as in hash texts and Basic credentials.
std::string Base64Encode(const unsigned char* data, std::size_t size);
// Empty result and false for anything but whole, padded base64.
bool Base64Decode(std::string_view text, std::vector<unsigned char>& out);

}  // namespace status

#include "status/password_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>

namespace status {

namespace {

constexpr std::string_view kScheme = "pbkdf2-sha256";
constexpr char kSeparator = '$';
constexpr const char* kNotPbkdf2 = "it does not begin with pbkdf2-sha256$";
constexpr const char* kNotFourFields =
    "it is not pbkdf2-sha256$<iterations>$<salt base64>$<hash base64>";
constexpr const char* kBadIterations = "its iteration count is not a number from 1000 to 5000000";
constexpr const char* kBadSalt = "its salt is not base64 of 8 to 64 bytes";
constexpr const char* kBadKey = "its hash is not base64 of 32 bytes";
constexpr const char* kNoRandom = "no random bytes for the salt";
constexpr const char* kNoDerivation = "PBKDF2 failed";
constexpr std::size_t kSaltMin = 8;
constexpr std::size_t kSaltMax = 64;

bool Derive(std::string_view password, const std::vector<unsigned char>& salt, int iterations,
            unsigned char* key) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), iterations, EVP_sha256(),
                           static_cast<int>(kPasswordKeyBytes), key) == 1;
}

bool IsBase64Character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

}  // namespace

std::string Base64Encode(const unsigned char* data, std::size_t size) {
  std::string out(4 * ((size + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data,
                                      static_cast<int>(size));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

bool Base64Decode(std::string_view text, std::vector<unsigned char>& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
    ++padding;
  for (std::size_t i = 0; i + padding < text.size(); ++i)
    if (!IsBase64Character(text[i])) return false;
  out.resize(text.size() / 4 * 3);
  const int decoded = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
  if (decoded < 0 || static_cast<std::size_t>(decoded) < padding) {
    out.clear();
    return false;
  }
  out.resize(static_cast<std::size_t>(decoded) - padding);
  return true;
}

platform::Result<PasswordHash> PasswordHash::Parse(std::string_view text) {
  if (!text.starts_with(std::string(kScheme) + kSeparator))
    return platform::Status::Failure(kNotPbkdf2);
  std::string_view fields[3];
  std::string_view rest = text.substr(kScheme.size() + 1);
  for (int i = 0; i < 2; ++i) {
    const std::size_t end = rest.find(kSeparator);
    if (end == std::string_view::npos) return platform::Status::Failure(kNotFourFields);
    fields[i] = rest.substr(0, end);
    rest.remove_prefix(end + 1);
  }
  fields[2] = rest;
  if (rest.find(kSeparator) != std::string_view::npos)
    return platform::Status::Failure(kNotFourFields);
  PasswordHash hash;
  const auto [end, error] =
      std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), hash.iterations);
  if (error != std::errc() || end != fields[0].data() + fields[0].size() ||
      hash.iterations < kPasswordHashIterationsMin || hash.iterations > kPasswordHashIterationsMax)
    return platform::Status::Failure(kBadIterations);
  if (!Base64Decode(fields[1], hash.salt) || hash.salt.size() < kSaltMin ||
      hash.salt.size() > kSaltMax)
    return platform::Status::Failure(kBadSalt);
  std::vector<unsigned char> key;
  if (!Base64Decode(fields[2], key) || key.size() != kPasswordKeyBytes)
    return platform::Status::Failure(kBadKey);
  std::copy(key.begin(), key.end(), hash.key.begin());
  return hash;
}

platform::Result<PasswordHash> PasswordHash::Make(std::string_view password, int iterations) {
  PasswordHash hash;
  hash.iterations = iterations;
  hash.salt.resize(kPasswordSaltBytes);
  if (RAND_bytes(hash.salt.data(), static_cast<int>(hash.salt.size())) != 1)
    return platform::Status::Failure(kNoRandom);
  if (!Derive(password, hash.salt, iterations, hash.key.data()))
    return platform::Status::Failure(kNoDerivation);
  return hash;
}

std::string PasswordHash::Text() const {
  return std::string(kScheme) + kSeparator + std::to_string(iterations) + kSeparator +
         Base64Encode(salt.data(), salt.size()) + kSeparator +
         Base64Encode(key.data(), key.size());
}

bool PasswordHash::Verifies(std::string_view password) const {
  std::array<unsigned char, kPasswordKeyBytes> derived{};
  const bool same = Derive(password, salt, iterations, derived.data()) &&
                    CRYPTO_memcmp(derived.data(), key.data(), key.size()) == 0;
  OPENSSL_cleanse(derived.data(), derived.size());
  return same;
}

}  // namespace status

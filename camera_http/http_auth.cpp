#include "camera_http/http_auth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <strings.h>

#include <array>
#include <cstdio>
#include <vector>

#include "platform/strings.h"

namespace camera_http {

namespace {

constexpr char kAuthorizationHeader[] = "Authorization";
constexpr char kChallengeHeader[] = "WWW-Authenticate";
constexpr char kLineEnd[] = "\r\n";

// Why a challenge could not be answered; they end up in one log line.
constexpr char kNoChallenge[] = "the reply carries no WWW-Authenticate challenge";
constexpr char kMalformed[] = "malformed WWW-Authenticate header '%s'";
constexpr char kUnknownAlgorithm[] = "unknown Digest algorithm '%s'";
constexpr char kUnknownQop[] = "no Digest qop we know in '%s'";
constexpr char kMissingParam[] = "the Digest challenge has no %s";
constexpr char kUnknownScheme[] = "no Basic or Digest challenge in '%s'";
constexpr char kBasicNotAllowed[] =
    "only Basic authentication is offered, which sends the password in clear: not answered "
    "(set 'AllowBasicAuth=1' in its section to allow it)";
constexpr char kNoRequestLine[] = "the command has no request line to answer for";
constexpr char kNoRandom[] = "no random numbers for the Digest cnonce";

// The longest challenge text quoted back in a message.
constexpr std::size_t kQuotedChallengeMax = 200;
// Random bytes of a client nonce.
constexpr std::size_t kCnonceBytes = 16;
// We answer each challenge once, so the nonce count is always the first.
constexpr char kNonceCount[] = "00000001";

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsTokenChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u <= 0x20 || u >= 0x7F) return false;
  return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

struct Challenge {
  std::string scheme;
  std::vector<std::pair<std::string, std::string>> params;  // names as written

  const std::string* Param(std::string_view name) const {
    for (const auto& [key, value] : params)
      if (EqualNoCase(key, name)) return &value;
    return nullptr;
  }
};

// Splits WWW-Authenticate values into challenges: a scheme, then either a
// token68 or comma-separated name=value parameters (values as tokens or
// quoted strings). False on anything else.
class ChallengeParser {
 public:
  explicit ChallengeParser(std::string_view text) : text_(text) {}

  bool Parse(std::vector<Challenge>* out) {
    while (true) {
      SkipSeparators();
      if (at_ >= text_.size()) return true;
      Challenge challenge;
      if (!Token(&challenge.scheme)) return false;
      // Parameters follow until a token that is not followed by "=", which
      // starts the next challenge.
      while (true) {
        SkipSeparators();
        if (at_ >= text_.size()) break;
        std::size_t mark = at_;
        std::string name;
        if (!Token(&name)) return false;
        SkipBlanks();
        if (at_ >= text_.size() || text_[at_] != '=') {
          at_ = mark;
          break;
        }
        ++at_;
        // A token68 ends in "=" padding: "abc==" is no parameter.
        if (at_ >= text_.size() || text_[at_] == '=' || text_[at_] == ',') {
          while (at_ < text_.size() && text_[at_] == '=') ++at_;
          continue;
        }
        SkipBlanks();
        std::string value;
        if (at_ < text_.size() && text_[at_] == '"') {
          if (!Quoted(&value)) return false;
        } else if (!Token(&value)) {
          return false;
        }
        challenge.params.emplace_back(std::move(name), std::move(value));
      }
      out->push_back(std::move(challenge));
    }
  }

 private:
  void SkipBlanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) ++at_;
  }
  void SkipSeparators() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == ','))
      ++at_;
  }
  bool Token(std::string* out) {
    std::size_t start = at_;
    while (at_ < text_.size() && IsTokenChar(text_[at_])) ++at_;
    if (at_ == start) return false;
    out->assign(text_.substr(start, at_ - start));
    return true;
  }
  // Control bytes (but the tab) are no part of a quoted string, escaped or
  // not: a NUL or a line end copied into our answer would cut the request
  // short or split its Authorization line.
  static bool IsQuotable(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u == '\t' || (u >= 0x20 && u != 0x7F);
  }
  bool Quoted(std::string* out) {
    ++at_;  // the opening quote
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') return true;
      if (c == '\\') {
        if (at_ >= text_.size()) return false;
        c = text_[at_++];
      }
      if (!IsQuotable(c)) return false;
      *out += c;
    }
    return false;  // no closing quote
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// A quoted-string of `value`, with its quotes and backslashes escaped.
std::string Quote(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string Base64(std::string_view in) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                 (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Hex(const unsigned char* bytes, std::size_t n) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    out += pair;
  }
  return out;
}

// The Digest algorithms we answer, strongest first.
struct DigestAlgorithm {
  const char* name;
  const EVP_MD* (*md)();
  bool session;
};
constexpr DigestAlgorithm kAlgorithms[] = {
    {"SHA-256", EVP_sha256, false},
    {"SHA-256-sess", EVP_sha256, true},
    {"MD5", EVP_md5, false},
    {"MD5-sess", EVP_md5, true},
};

const DigestAlgorithm* FindAlgorithm(std::string_view name) {
  for (const DigestAlgorithm& a : kAlgorithms)
    if (EqualNoCase(name, a.name)) return &a;
  return nullptr;
}

// Lower-case hex of the digest of `text`.
std::string HashHex(const DigestAlgorithm& algorithm, std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), md.data(), &length, algorithm.md(), nullptr) != 1)
    return {};
  return Hex(md.data(), length);
}

// Whether the comma-separated qop list offers "auth".
bool OffersAuth(std::string_view qop_list) {
  while (!qop_list.empty()) {
    std::size_t comma = qop_list.find(',');
    if (EqualNoCase(TrimBlanks(qop_list.substr(0, comma)), "auth")) return true;
    if (comma == std::string_view::npos) break;
    qop_list.remove_prefix(comma + 1);
  }
  return false;
}

std::string Shown(std::string_view text) {
  return std::string(text.substr(0, kQuotedChallengeMax));
}

// The Authorization value for one Digest challenge; false with `why`.
bool AnswerDigest(const Challenge& c, const DigestAlgorithm& algorithm, std::string_view method,
                  std::string_view uri, const HttpCredentials& credentials, std::string* value,
                  std::string* why) {
  const std::string* realm = c.Param("realm");
  const std::string* nonce = c.Param("nonce");
  if (realm == nullptr || nonce == nullptr) {
    *why = platform::StringPrintf(kMissingParam, realm == nullptr ? "realm" : "nonce");
    return false;
  }
  const std::string* qop = c.Param("qop");
  const bool with_qop = qop != nullptr;
  if (with_qop && !OffersAuth(*qop)) {
    *why = platform::StringPrintf(kUnknownQop, Shown(*qop).c_str());
    return false;
  }
  std::string cnonce;
  if (with_qop || algorithm.session) {
    std::array<unsigned char, kCnonceBytes> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
      *why = kNoRandom;
      return false;
    }
    cnonce = Hex(random.data(), random.size());
  }
  auto h = [&](std::string_view text) { return HashHex(algorithm, text); };
  std::string ha1 = h(credentials.user + ":" + *realm + ":" + credentials.password);
  if (algorithm.session) ha1 = h(ha1 + ":" + *nonce + ":" + cnonce);
  std::string ha2 = h(std::string(method) + ":" + std::string(uri));
  std::string response =
      with_qop ? h(ha1 + ":" + *nonce + ":" + kNonceCount + ":" + cnonce + ":auth:" + ha2)
               : h(ha1 + ":" + *nonce + ":" + ha2);
  const std::string* userhash = c.Param("userhash");
  const bool hash_user = userhash != nullptr && EqualNoCase(*userhash, "true");
  std::string user = hash_user ? h(credentials.user + ":" + *realm) : credentials.user;

  *value = "Digest username=" + Quote(user) + ", realm=" + Quote(*realm) +
           ", nonce=" + Quote(*nonce) + ", uri=" + Quote(uri);
  // The older form names an algorithm only when the camera did.
  if (c.Param("algorithm") != nullptr) *value += std::string(", algorithm=") + algorithm.name;
  *value += ", response=" + Quote(response);
  if (with_qop)
    *value += ", qop=auth, nc=" + std::string(kNonceCount) + ", cnonce=" + Quote(cnonce);
  if (const std::string* opaque = c.Param("opaque")) *value += ", opaque=" + Quote(*opaque);
  if (hash_user) *value += ", userhash=true";
  return true;
}

}  // namespace

bool HasAuthorizationLine(std::string_view request) {
  std::size_t at = request.find(kLineEnd);
  while (at != std::string_view::npos) {
    std::string_view line = request.substr(at + 2);
    line = line.substr(0, line.find(kLineEnd));
    std::size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        EqualNoCase(TrimBlanks(line.substr(0, colon)), kAuthorizationHeader))
      return true;
    at = request.find(kLineEnd, at + 2);
  }
  return false;
}

std::string HeaderValues(std::string_view head, std::string_view name) {
  std::string joined;
  std::size_t at = head.find(kLineEnd);
  while (at != std::string_view::npos) {
    std::size_t start = at + 2;
    at = head.find(kLineEnd, start);
    std::string_view line = head.substr(start, at == std::string_view::npos ? at : at - start);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !EqualNoCase(TrimBlanks(line.substr(0, colon)), name))
      continue;
    if (!joined.empty()) joined += ", ";
    joined += TrimBlanks(line.substr(colon + 1));
  }
  return joined;
}

bool AnswerChallenge(std::string_view request, std::string_view reply_head,
                     const HttpCredentials& credentials, std::string* authorized,
                     std::string* scheme, std::string* why) {
  // "METHOD TARGET HTTP/x" is what a Digest answer is computed over.
  std::size_t eol = request.find(kLineEnd);
  std::string_view line = request.substr(0, eol);
  std::size_t sp1 = line.find(' ');
  std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (eol == std::string_view::npos || sp1 == 0 || sp2 == std::string_view::npos ||
      sp2 == sp1 + 1) {
    *why = kNoRequestLine;
    return false;
  }
  std::string_view method = line.substr(0, sp1);
  std::string_view uri = line.substr(sp1 + 1, sp2 - sp1 - 1);

  std::string text = HeaderValues(reply_head, kChallengeHeader);
  if (TrimBlanks(text).empty()) {
    *why = kNoChallenge;
    return false;
  }
  std::vector<Challenge> challenges;
  if (!ChallengeParser(text).Parse(&challenges)) {
    *why = platform::StringPrintf(kMalformed, Shown(text).c_str());
    return false;
  }

  // The strongest Digest algorithm offered wins; Basic only when no Digest
  // challenge can be answered.
  const Challenge* digest = nullptr;
  const DigestAlgorithm* best = nullptr;
  const Challenge* basic = nullptr;
  std::string digest_problem;
  for (const Challenge& c : challenges) {
    if (EqualNoCase(c.scheme, "Basic")) {
      if (basic == nullptr) basic = &c;
      continue;
    }
    if (!EqualNoCase(c.scheme, "Digest")) continue;
    const std::string* name = c.Param("algorithm");
    const DigestAlgorithm* algorithm = FindAlgorithm(name != nullptr ? *name : "MD5");
    if (algorithm == nullptr) {
      digest_problem = platform::StringPrintf(kUnknownAlgorithm, Shown(*name).c_str());
      continue;
    }
    if (best == nullptr || algorithm < best) {
      best = algorithm;
      digest = &c;
    }
  }

  std::string value;
  if (digest != nullptr) {
    if (!AnswerDigest(*digest, *best, method, uri, credentials, &value, why)) return false;
    *scheme = std::string("Digest ") + best->name;
  } else if (basic != nullptr && !credentials.allow_basic) {
    *why = digest_problem.empty() ? std::string(kBasicNotAllowed)
                                  : digest_problem + "; " + kBasicNotAllowed;
    return false;
  } else if (basic != nullptr) {
    value = "Basic " + Base64(credentials.user + ":" + credentials.password);
    *scheme = "Basic";
  } else {
    *why = !digest_problem.empty() ? digest_problem
                                   : platform::StringPrintf(kUnknownScheme, Shown(text).c_str());
    return false;
  }
  authorized->assign(request.substr(0, eol + 2));
  authorized->append(kAuthorizationHeader).append(": ").append(value).append(kLineEnd);
  authorized->append(request.substr(eol + 2));
  return true;
}

}  // namespace camera_http

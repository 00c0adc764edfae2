#include "http.h"

#include <strings.h>

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <map>

namespace sim {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Decodes standard base64; false on any other character or bad padding.
bool DecodeBase64(std::string_view in, std::string* out) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  if (in.size() % 4 == 1) return false;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    int v = value(c);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return true;
}

}  // namespace

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

bool ParseRequestHead(std::string_view head, HttpRequest* request) {
  std::size_t eol = head.find("\r\n");
  std::string_view line = head.substr(0, eol);
  std::size_t sp1 = line.find(' ');
  if (sp1 == std::string_view::npos || sp1 == 0) return false;
  std::size_t sp2 = line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return false;
  if (line.substr(sp2 + 1).substr(0, 5) != "HTTP/") return false;
  request->method = std::string(line.substr(0, sp1));
  request->target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  request->authorization.clear();
  while (eol != std::string_view::npos) {
    std::size_t start = eol + 2;
    eol = head.find("\r\n", start);
    std::string_view header = head.substr(start, eol == std::string_view::npos ? eol : eol - start);
    std::size_t colon = header.find(':');
    if (colon == std::string_view::npos) continue;
    if (EqualsNoCase(Trim(header.substr(0, colon)), "Authorization"))
      request->authorization = std::string(Trim(header.substr(colon + 1)));
  }
  return true;
}

bool TargetMatches(std::string_view target, std::string_view path) {
  if (target == path) return true;
  if (path.find('?') != std::string_view::npos) return false;
  std::size_t q = target.find('?');
  return q != std::string_view::npos && target.substr(0, q) == path;
}

bool BasicAuthMatches(std::string_view authorization, std::string_view user,
                      std::string_view pass) {
  constexpr std::string_view kScheme = "Basic ";
  if (authorization.size() < kScheme.size() ||
      !EqualsNoCase(authorization.substr(0, kScheme.size()), kScheme))
    return false;
  std::string decoded;
  if (!DecodeBase64(Trim(authorization.substr(kScheme.size())), &decoded)) return false;
  std::string expected;
  expected.append(user).append(":").append(pass);
  return decoded == expected;
}

namespace {

std::string Reply(int status, std::string_view body, std::string_view challenge = {}) {
  std::string reply = "HTTP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  reply += "Server: ocelam-sim\r\nConnection: close\r\nContent-Type: text/plain\r\n";
  if (status == 401) {
    reply += "WWW-Authenticate: ";
    reply +=
        challenge.empty() ? "Basic realm=\"" + std::string(kRealm) + "\"" : std::string(challenge);
    reply += "\r\n";
  }
  reply += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  reply += body;
  return reply;
}

}  // namespace

std::string StatusReply(int status, std::string_view challenge) {
  return Reply(status, std::to_string(status) + " " + ReasonPhrase(status) + "\r\n", challenge);
}

std::string DigestChallenge(std::string_view algorithm, bool qop, std::string_view nonce,
                            std::string_view opaque) {
  std::string c = "Digest realm=\"" + std::string(kRealm) + "\"";
  if (qop) c += ", qop=\"auth\"";
  if (qop || algorithm != "MD5") c += ", algorithm=" + std::string(algorithm);
  c += ", nonce=\"" + std::string(nonce) + "\", opaque=\"" + std::string(opaque) + "\"";
  return c;
}

namespace {

// "name=value" or "name=\"value\"" pairs separated by commas; false when
// malformed.
bool DigestParams(std::string_view text, std::map<std::string, std::string>* out) {
  std::size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
  };
  while (true) {
    skip();
    if (i >= text.size()) return true;
    std::size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) return false;
    std::string name(Trim(text.substr(i, eq - i)));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    i = eq + 1;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      ++i;
      while (i < text.size() && text[i] != '"') {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i++];
      }
      if (i >= text.size()) return false;
      ++i;
    } else {
      std::size_t end = text.find(',', i);
      value = std::string(Trim(text.substr(i, end == std::string_view::npos ? end : end - i)));
      i = end == std::string_view::npos ? text.size() : end;
    }
    (*out)[name] = value;
  }
}

std::string HexDigest(std::string_view algorithm, const std::string& text) {
  const EVP_MD* md = algorithm == "SHA-256" ? EVP_sha256() : EVP_md5();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(text.data(), text.size(), out, &n, md, nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int k = 0; k < n; ++k) {
    hex += kHex[out[k] >> 4];
    hex += kHex[out[k] & 15];
  }
  return hex;
}

}  // namespace

bool DigestAuthMatches(std::string_view authorization, std::string_view method,
                       std::string_view target, std::string_view user, std::string_view pass,
                       std::string_view algorithm, bool qop,
                       const std::function<bool(std::string_view)>& nonce_known) {
  constexpr std::string_view kScheme = "Digest ";
  if (authorization.size() < kScheme.size() ||
      !EqualsNoCase(authorization.substr(0, kScheme.size()), kScheme))
    return false;
  std::map<std::string, std::string> p;
  if (!DigestParams(authorization.substr(kScheme.size()), &p)) return false;
  auto get = [&](const char* name) -> std::string {
    auto it = p.find(name);
    return it == p.end() ? std::string() : it->second;
  };
  if (get("username") != user || get("realm") != kRealm || get("uri") != target ||
      !nonce_known(get("nonce")))
    return false;
  if (!get("algorithm").empty() && get("algorithm") != algorithm) return false;
  if (get("algorithm").empty() && algorithm != "MD5") return false;
  const std::string ha1 =
      HexDigest(algorithm, std::string(user) + ":" + std::string(kRealm) + ":" + std::string(pass));
  const std::string ha2 = HexDigest(algorithm, std::string(method) + ":" + std::string(target));
  std::string expected;
  if (qop) {
    if (get("qop") != "auth" || get("nc").empty() || get("cnonce").empty()) return false;
    expected = HexDigest(algorithm, ha1 + ":" + get("nonce") + ":" + get("nc") + ":" +
                                        get("cnonce") + ":auth:" + ha2);
  } else {
    if (!get("qop").empty()) return false;
    expected = HexDigest(algorithm, ha1 + ":" + get("nonce") + ":" + ha2);
  }
  return get("response") == expected;
}

std::string ReplyWithBody(int status, std::string_view body) { return Reply(status, body); }

std::size_t RequestEnd(std::string_view data, bool* by_nul) {
  std::size_t nul = data.find('\0');
  if (nul != std::string_view::npos) {
    *by_nul = true;
    return nul + 1;
  }
  *by_nul = false;
  std::size_t blank = data.find("\r\n\r\n");
  return blank == std::string_view::npos ? 0 : blank + 4;
}

}  // namespace sim

#include "http.h"

#include <strings.h>

#include <array>
#include <cstdint>

namespace sim {
namespace {

constexpr std::string_view kRealm = "ocelam-sim";

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
    case 200: return "OK";
    case 204: return "No Content";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
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

std::string Reply(int status, std::string_view body) {
  std::string reply = "HTTP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  reply += "Server: ocelam-sim\r\nConnection: close\r\nContent-Type: text/plain\r\n";
  if (status == 401) reply += "WWW-Authenticate: Basic realm=\"" + std::string(kRealm) + "\"\r\n";
  reply += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  reply += body;
  return reply;
}

}  // namespace

std::string StatusReply(int status) {
  return Reply(status, std::to_string(status) + " " + ReasonPhrase(status) + "\r\n");
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

#include "acquisition/camera/rtsp_endpoint.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>

#include "core/log_text.h"

namespace acquisition {

namespace {

constexpr std::size_t kLoggableMax = 200;

// The authority of `url`: [from, end) behind "scheme://", and where its
// host begins (behind the credentials' last '@').
struct Authority {
  std::size_t from = 0, host = 0, end = 0;
};

Authority FindAuthority(std::string_view url) {
  Authority a;
  const std::size_t scheme = url.find("://");
  a.from = scheme == std::string_view::npos ? 0 : scheme + 3;
  a.end = url.find_first_of("/?#", a.from);
  if (a.end == std::string_view::npos) a.end = url.size();
  const std::size_t at = url.substr(a.from, a.end - a.from).rfind('@');
  a.host = at == std::string_view::npos ? a.from : a.from + at + 1;
  return a;
}

// [host, port_colon) of the authority's host part: the colon before the port
// or the authority's end.
std::size_t HostEnd(std::string_view url, const Authority& a) {
  if (a.host < a.end && url[a.host] == '[') {
    const std::size_t close = url.find(']', a.host);
    return close == std::string_view::npos || close > a.end ? a.end : close + 1;
  }
  const std::size_t colon = url.find(':', a.host);
  return colon == std::string_view::npos || colon > a.end ? a.end : colon;
}

}  // namespace

RtspEndpoint ParseRtspEndpoint(std::string_view url) {
  const Authority a = FindAuthority(url);
  const std::size_t host_end = HostEnd(url, a);
  RtspEndpoint e;
  std::string_view host = url.substr(a.host, host_end - a.host);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  for (char c : host) e.host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (host_end < a.end && url[host_end] == ':') {
    const std::string digits(url.substr(host_end + 1, a.end - host_end - 1));
    char* stop = nullptr;
    const long port = std::strtol(digits.c_str(), &stop, 10);
    // An unreadable port is no port of ours: it never equals the original.
    e.port = !digits.empty() && *stop == '\0' && port > 0 && port <= 65535 ? static_cast<int>(port)
                                                                           : -1;
  }
  return e;
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string WithHost(std::string_view url, const std::string& address) {
  const Authority a = FindAuthority(url);
  const std::size_t host_end = HostEnd(url, a);
  const bool v6 = address.find(':') != std::string::npos;
  return std::string(url.substr(0, a.host)) + (v6 ? "[" + address + "]" : address) +
         std::string(url.substr(host_end));
}

std::string LoggableUrl(std::string_view url) {
  const Authority a = FindAuthority(url);
  const std::string bare = std::string(url.substr(0, a.from)) + std::string(url.substr(a.host));
  return core::PrintableText(std::string_view(bare).substr(0, kLoggableMax),
                             core::Backslash::kEscaped);
}

}  // namespace acquisition

#pragma once
// Where an RTSP address points, told from its text alone: the host and port
// a redirect must keep, the address with its host name replaced by the
// address it resolved to, and the address as a log may show it. Plain code,
// any thread.
#include <string>
#include <string_view>

namespace acquisition {

struct RtspEndpoint {
  std::string host;  // lower case, without the brackets of an IPv6 address
  int port = 554;
  bool operator==(const RtspEndpoint&) const = default;
};

// The host and port of an rtsp:// address (554 when it names none).
RtspEndpoint ParseRtspEndpoint(std::string_view url);
// True when `host` is an IPv4 or IPv6 address rather than a name.
bool IsAddressLiteral(const std::string& host);
// `url` with its host replaced by `address` (bracketed when IPv6).
std::string WithHost(std::string_view url, const std::string& address);
// `url` without credentials, its first 200 characters as core::PrintableText
// writes them (the backslash escaped too): device text fit for a log line.
std::string LoggableUrl(std::string_view url);

}  // namespace acquisition

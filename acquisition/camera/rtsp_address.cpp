#include "acquisition/camera/rtsp_address.h"

#include <cctype>

#include "platform/strings.h"

namespace acquisition {

namespace {

constexpr std::string_view kScheme = "rtsp://";

std::string PercentEncoded(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
      out += static_cast<char>(c);
    else
      out += platform::StringPrintf("%%%02X", c);
  }
  return out;
}

}  // namespace

bool IsRtspUri(std::string_view uri) {
  if (uri.size() < kScheme.size()) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(uri[i])) != kScheme[i]) return false;
  return true;
}

std::string RtspAddress(const std::string& address, int port, const std::string& uri,
                        const std::string& user, const std::string& password) {
  std::string whole;
  if (IsRtspUri(uri)) {
    whole = uri;
  } else {
    whole = platform::StringPrintf("rtsp://%s:%d", address.c_str(), port);
    if (!uri.empty() && uri[0] != '/') whole += '/';
    whole += uri;
  }
  // The authority runs from behind the scheme to the first '/', '?' or '#';
  // credentials end at its last '@'.
  std::size_t from = kScheme.size();
  std::size_t end = whole.find_first_of("/?#", from);
  if (end == std::string::npos) end = whole.size();
  std::size_t at = whole.rfind('@', end == 0 ? 0 : end - 1);
  bool has_credentials = at != std::string::npos && at >= from && at < end;
  if (user.empty()) {
    if (has_credentials) whole.erase(from, at + 1 - from);
  } else if (!has_credentials) {
    whole.insert(from, PercentEncoded(user) + ":" + PercentEncoded(password) + "@");
  }
  return whole;
}

}  // namespace acquisition

#pragma once
// The RTSP address of a camera.
#include <string>
#include <string_view>

namespace acquisition {

// True when `uri` is a whole RTSP address ("rtsp://", any letter case).
bool IsRtspUri(std::string_view uri);

// The RTSP address of a camera: its "RequestUri" when that is a whole
// rtsp:// address, else rtsp://address:port followed by the request path.
// With a user name the credentials are put in, percent-encoded, unless the
// address holds some already; without one, credentials already in it are
// left out (the form logs show).
std::string RtspAddress(const std::string& address, int port, const std::string& uri,
                        const std::string& user, const std::string& password);

}  // namespace acquisition

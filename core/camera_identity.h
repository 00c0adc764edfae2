#pragma once
// Identity of one camera (or video server): the first part of every
// per-camera record. A camera is active when its reference is not empty.
#include <string>

namespace core {

// Camera numbers run from 1 to 159; slot 0 is never configured.
inline constexpr int kCameraSlots = 160;
// Video-server numbers run from 1 to 49; slot 0 is never configured.
inline constexpr int kVideoServerSlots = 50;
inline constexpr std::size_t kAddressMax = 63;     // "CamServerIPAddress", "IPAddress"
inline constexpr std::size_t kReferenceMax = 255;  // "CameraRef"
inline constexpr std::size_t kNameMax = 255;       // "Username", "Password"
inline constexpr std::size_t kFamilyMax = 63;      // "CameraFamily"

struct CameraIdentity {
  std::string address;
  std::string reference;
  int port = 0;
  int number = 0;
  std::string user_name;
  std::string password;
  std::string family;
  int model = 0;
  int id_in_server = 0;
  int indexes[4] = {0, 0, 0, 0};
  // "AllowBasicAuth": whether a Basic challenge may be answered. Basic sends
  // the password in clear to whoever answers on the device's address, so it
  // is refused unless the operator allows it for this device.
  bool allow_basic_auth = false;

  bool IsActive() const { return !reference.empty(); }
};

}  // namespace core

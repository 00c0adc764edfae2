#include "camera_http/video_server.h"

#include <string>

#include "camera_http/command_records.h"  // kCameraDefinitionsFile
#include "core/profile/user_profile.h"
#include "core/text.h"

namespace camera_http {

namespace {

// A text of the server section as the record keeps it: read with an empty
// default, with the written "\r" and "\n" turned into CR and LF, cut to
// `max` characters.
std::string ReadText(core::ProfileFile& profile, const char* key, std::size_t max) {
  std::string raw = profile.GetString(kVideoServerSection, key, "", kVideoServerTextMax);
  std::string text(raw.size(), '\0');
  text.resize(core::UnescapeCrLf(text.data(), raw.data(), raw.size()));
  if (text.size() > max) text.resize(max);
  return text;
}

}  // namespace

void VideoServer::Init(std::string_view address_in, int port_in, std::string_view name,
                       int number_in) {
  address = std::string(address_in.substr(0, core::kAddressMax));
  port = port_in;
  reference = std::string(name.substr(0, core::kReferenceMax));
  number = number_in;

  core::ProfileFile profile(kCameraDefinitionsFile);
  line_expression = ReadText(profile, "AlarmInputRegExp", kVideoServerTextMax);
  iobox_subst = ReadText(profile, "AlarmInputIOBoxIDSubst", kSubstitutionMax);
  pin_number_subst = ReadText(profile, "AlarmInputPinNumberSubst", kSubstitutionMax);
  pin_state_subst = ReadText(profile, "AlarmInputPinStateSubst", kSubstitutionMax);
  pin_type_subst = ReadText(profile, "AlarmInputPinTypeSubst", kSubstitutionMax);
  raw_data_subst = ReadText(profile, "AlarmInputPinRawDataSubst", kSubstitutionMax);
  heartbeat = ReadText(profile, "HeartBeatString", kVideoServerTextMax);
  valid_pin_type = ReadText(profile, "AlarmInputIOValidPinType", kVideoServerTextMax);
  request = ReadText(profile, "GetAlarmInput", kVideoServerTextMax);
}

}  // namespace camera_http

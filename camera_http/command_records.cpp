#include "camera_http/command_records.h"

#include <strings.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>

#include "camera_http/regex.h"
#include "core/console.h"
#include "core/daily_log.h"
#include "core/log_text.h"
#include "core/profile/user_profile.h"
#include "core/text.h"
#include "platform/strings.h"

namespace camera_http {

namespace {

constexpr const char* kIOLog = "./LOG/ocelam_iobox_camera_%d_%04d%02d%02d.log";
constexpr const char* kPTZLog = "./LOG/ocelam_ptz_camera_%d_%04d%02d%02d.log";
constexpr const char* kRecordingLog = "./LOG/ocelam_storage_camera_%d_%04d%02d%02d.log";

constexpr const char* kModelSection = "Cam%dData";
constexpr const char* kFamilySony = "sony";
constexpr const char* kFamilySonyRsm = "sonyrsm";
constexpr const char* kPresetCommand = "preset";

constexpr const char* kNoIOSupport =
    "The camera is of type '%s' - this type does not support Input / Output pins management";
constexpr const char* kNoPTZSupport = "The camera is of type '%s' - this type does not support PTZ";
constexpr const char* kPTZNotSupported = "The PTZ command '%s' is not supported yet";
constexpr const char* kNoRecordingSupport =
    "The camera is of type '%s' - this type does not support recording on video server";
constexpr const char* kExecuting = "socket for the command '%s' is executing";
constexpr const char* kTooLong =
    "ERROR: the command built from the template '%s' is longer than %d characters - not sent";

constexpr const char* kPinNumber = "<pinnumber>";
constexpr const char* kStatus = "<status>";
constexpr const char* kServerCameraId = "<servercameraid>";
constexpr const char* kPresetIndex = "<presetindex>";
constexpr const char* kPTZCommandText = "<ptzcommand>";
constexpr const char* kHandleId = "<handleid>";

constexpr const char* kStateOn[] = {"", "on", "1"};  // by CameraFamily
constexpr const char* kStateOff[] = {"", "off", "0"};
constexpr const char* kFollowUpSet = "S";
constexpr const char* kFollowUpReset = "R";

// A template as the command records keep it: read with an empty default,
// cut to its buffer, with the written "\r" and "\n" turned into CR and LF.
std::string ReadTemplate(core::ProfileFile& profile, const std::string& section, const char* key) {
  std::string raw = profile.GetString(section, key, "", kTemplateMax);
  std::string text(raw.size(), '\0');
  text.resize(core::UnescapeCrLf(text.data(), raw.data(), raw.size()));
  return text;
}

std::string ModelSection(int model) { return platform::StringPrintf(kModelSection, model); }

// Character i of the status text, NUL past its end.
char StatusChar(std::string_view status, std::size_t i) {
  return i < status.size() ? status[i] : '\0';
}

bool IsSet(char c) { return c == 'S' || c == 's'; }
bool IsReset(char c) { return c == 'R' || c == 'r'; }

// The number made by the leading digits of `text` (0 when there are none),
// held at INT_MAX rather than overflowing.
int LeadingNumber(std::string_view text) {
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

// Fills the first occurrence of each placeholder in turn. ReplacePlaceholder
// keeps at most 255 characters before and after a placeholder; a text it had
// to cut is damaged, so it is marked and refused as too long, even when later
// fills would shrink it below the limit.
class Filler {
 public:
  explicit Filler(std::string text) : text_(std::move(text)) {}
  void Fill(std::string_view placeholder, std::string_view value) {
    std::size_t at = text_.find(placeholder);
    if (at == std::string::npos) return;
    std::size_t expected = text_.size() - placeholder.size() + value.size();
    core::ReplacePlaceholder(text_, placeholder, value);
    if (text_.size() != expected) cut_ = true;
  }
  void Fill(std::string_view placeholder, int value) { Fill(placeholder, std::to_string(value)); }
  const std::string& text() const { return text_; }
  // Whether a part had to be cut: the text is then damaged.
  bool cut() const { return cut_; }

 private:
  std::string text_;
  bool cut_ = false;
};

}  // namespace

CameraFamily FamilyOf(std::string_view family_text) {
  std::string family(family_text);
  if (strcasecmp(family.c_str(), kFamilySonyRsm) == 0) return CameraFamily::kSonyRsm;
  if (strcasecmp(family.c_str(), kFamilySony) == 0) return CameraFamily::kSony;
  return CameraFamily::kOther;
}

// ---- shared by the three kinds ----

void CommandRecord::Init(std::string_view address_in, int port_in, std::string_view name,
                         int number_in) {
  address = std::string(address_in.substr(0, core::kAddressMax));
  port = port_in;
  reference = std::string(name.substr(0, core::kReferenceMax));
  number = number_in;
}

void CommandRecord::Log(const char* log_name_format, std::string_view text) const {
  core::AppendDailyLog(log_name_format, log_camera_number, text);
}

void CommandRecord::LogError(const char* log_name_format, std::string_view text) const {
  Log(log_name_format, text);
  core::ConsoleLog(text, core::ConsoleLevel::kError);
}

int CommandRecord::Deliver(const char* log_name_format, const std::string& template_text,
                           const std::string& filled, bool cut, CommandBuffer out) const {
  out[0] = '\0';
  if (cut || filled.size() > kCommandMax) {
    LogError(log_name_format, platform::StringPrintf(kTooLong, template_text.c_str(),
                                                     static_cast<int>(kCommandMax)));
    return -1;
  }
  std::memcpy(out.data(), filled.data(), filled.size());
  out[filled.size()] = '\0';
  return 0;
}

int CommandRecord::ExecuteCommand(const char* log_name_format, const char* command,
                                  ReplyBuffer reply_out, int camera) const {
  if (!command) command = "";
  Log(log_name_format, platform::StringPrintf(kExecuting, command));
  std::array<char, kHttpErrorTextSize> error_text{};
  int result = SendHttpCommand(address.c_str(), port, command, reply_out, camera, error_text,
                               HttpCredentials{user_name, password, allow_basic_auth});
  if (result != 0) LogError(log_name_format, error_text.data());
  return result;
}

// ---- IO box outputs ----

void IoBoxCommand::Init(std::string_view address_in, int port_in, std::string_view name,
                        int number_in) {
  CommandRecord::Init(address_in, port_in, name, number_in);
  core::ProfileFile profile(kCameraDefinitionsFile);
  io_template = ReadTemplate(profile, ModelSection(model), "GetIOParam");
}

int IoBoxCommand::BuildCommand(CommandBuffer out, int pin, std::string_view status) const {
  out[0] = '\0';
  CameraFamily f = FamilyOf(family);
  if (f == CameraFamily::kOther) {
    LogError(kIOLog, platform::StringPrintf(kNoIOSupport, family.c_str()));
    return -1;
  }
  bool on = IsSet(StatusChar(status, 0)) || IsSet(StatusChar(status, 1));
  const char* state = on ? kStateOn[static_cast<int>(f)] : kStateOff[static_cast<int>(f)];
  Filler filler(io_template);
  if (f == CameraFamily::kSonyRsm) filler.Fill(kServerCameraId, iobox_id_in_server);
  filler.Fill(kPinNumber, pin);
  filler.Fill(kStatus, state);
  return Deliver(kIOLog, io_template, filler.text(), filler.cut(), out);
}

int IoBoxCommand::BuildFollowUp(CommandBuffer out, int pin, std::string_view status) const {
  out[0] = '\0';
  char first = StatusChar(status, 0);
  if (IsSet(first) || IsReset(first)) return 0;
  // The follow-up undoes the pulse: the opposite of the second character.
  const char* opposite = IsReset(StatusChar(status, 1)) ? kFollowUpSet : kFollowUpReset;
  if (BuildCommand(out, pin, opposite) != 0) return kFollowUpFailed;
  return status.size() > 2 ? LeadingNumber(status.substr(2)) : 0;
}

int IoBoxCommand::Execute(const char* command, ReplyBuffer reply_out, int camera) const {
  return ExecuteCommand(kIOLog, command, reply_out, camera);
}

// ---- PTZ presets ----

void PtzCommand::Init(std::string_view address_in, int port_in, std::string_view name,
                      int number_in) {
  CommandRecord::Init(address_in, port_in, name, number_in);
  core::ProfileFile profile(kCameraDefinitionsFile);
  preset_template = ReadTemplate(profile, ModelSection(model), "GetPresetParam");
}

int PtzCommand::BuildCommand(CommandBuffer out, std::string_view ptz_command,
                             int preset_index) const {
  out[0] = '\0';
  CameraFamily f = FamilyOf(family);
  if (f == CameraFamily::kOther) {
    LogError(kPTZLog, platform::StringPrintf(kNoPTZSupport, family.c_str()));
    return -1;
  }
  std::string command(ptz_command);
  if (strcasecmp(command.c_str(), kPresetCommand) != 0) {
    LogError(kPTZLog,
             platform::StringPrintf(kPTZNotSupported, core::PrintableText(command).c_str()));
    return -1;
  }
  Filler filler(preset_template);
  if (f == CameraFamily::kSonyRsm) {
    filler.Fill(kPTZCommandText, command);
    filler.Fill(kServerCameraId, id_in_server);
  }
  filler.Fill(kPresetIndex, preset_index);
  return Deliver(kPTZLog, preset_template, filler.text(), filler.cut(), out);
}

int PtzCommand::Execute(const char* command, ReplyBuffer reply_out, int camera) const {
  return ExecuteCommand(kPTZLog, command, reply_out, camera);
}

// ---- recording on the video server ----

void RecordingCommand::Init(std::string_view address_in, int port_in, std::string_view name,
                            int number_in) {
  CommandRecord::Init(address_in, port_in, name, number_in);
  core::ProfileFile profile(kCameraDefinitionsFile);
  std::string section = ModelSection(model);
  start_template = ReadTemplate(profile, section, "GetRecStartParam");
  stop_template = ReadTemplate(profile, section, "GetRecStopParam");
  // The reply expression and substitution belong to the family and are kept
  // exactly as written: a backslash there is the expression's own.
  reply_expression = profile.GetString(family, "GetRecResponseRegExp", "", kTemplateMax);
  handle_subst = profile.GetString(family, "GetRecHandleIDSubst", "", kHandleSubstMax);
}

int RecordingCommand::BuildStart(CommandBuffer out) const {
  out[0] = '\0';
  if (FamilyOf(family) != CameraFamily::kSonyRsm) {
    LogError(kRecordingLog, platform::StringPrintf(kNoRecordingSupport, family.c_str()));
    return -1;
  }
  Filler filler(start_template);
  filler.Fill(kServerCameraId, id_in_server);
  return Deliver(kRecordingLog, start_template, filler.text(), filler.cut(), out);
}

int RecordingCommand::BuildStop(CommandBuffer out, const char* start_reply) const {
  out[0] = '\0';
  if (FamilyOf(family) != CameraFamily::kSonyRsm) {
    LogError(kRecordingLog, platform::StringPrintf(kNoRecordingSupport, family.c_str()));
    return -1;
  }
  Filler filler(stop_template);
  filler.Fill(kServerCameraId, id_in_server);
  filler.Fill(kHandleId, GetHandleId(start_reply));
  return Deliver(kRecordingLog, stop_template, filler.text(), filler.cut(), out);
}

int RecordingCommand::GetHandleId(const char* reply) const {
  if (!reply) reply = "";
  RegexpPtr prog(regcompile(reply_expression.c_str()));
  if (!prog) {
    Log(kRecordingLog, platform::StringPrintf(kRegexpCompileFailed, reply_expression.c_str()));
    return kNoHandle;
  }
  if (regexecute(prog.get(), reply) == 0) {
    Log(kRecordingLog,
        platform::StringPrintf(kRegexpExecuteFailed, reply_expression.c_str(),
                               core::PrintableText(reply).c_str()));
    return kNoHandle;
  }
  char handle[kHandleTextMax + 1] = {};
  if (regsub(prog.get(), handle_subst.c_str(), handle, sizeof handle) != 0) return kNoHandle;
  return LeadingNumber(handle);
}

int RecordingCommand::Execute(const char* command, ReplyBuffer reply_out, int camera) const {
  return ExecuteCommand(kRecordingLog, command, reply_out, camera);
}

}  // namespace camera_http

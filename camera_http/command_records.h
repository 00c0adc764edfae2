#pragma once
// The three command records every camera number has: IO box outputs, PTZ
// presets and recording on a video server. Each starts with the camera's
// identity; the configuration loader fills it and calls the record's Init,
// which loads the command templates of the camera's model from "qxacam.ini".
//
// A template is one whole HTTP request with placeholders ("<pinnumber>",
// "<status>", "<servercameraid>", "<presetindex>", "<ptzcommand>",
// "<handleid>"); building fills the first occurrence of each placeholder the
// camera's family knows into the command thread's 256-byte buffer, executing
// sends it with SendHttpCommand. Every kind writes its own daily log per
// camera ("./LOG/ocelam_iobox_camera_...", "..._ptz_camera_...",
// "..._storage_camera_...").
//
// After loading the records are only read, so any number of command threads
// may build and execute commands of the same record at once.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "camera_http/http_client.h"
#include "core/camera_identity.h"

namespace camera_http {

// The buffer a command is built into; a built command has at most 255
// characters and is refused when its placeholders would make it longer.
inline constexpr std::size_t kCommandSize = 256;
inline constexpr std::size_t kCommandMax = kCommandSize - 1;
// Longest template, reply expression and handle substitution read.
inline constexpr std::size_t kTemplateMax = 511;
inline constexpr std::size_t kHandleSubstMax = 9;
// Characters of the substituted handle text that are read as the number.
inline constexpr std::size_t kHandleTextMax = 31;
// The handle of a recording whose start reply did not give one.
inline constexpr int kNoHandle = -1;
// What BuildFollowUp gives when a follow-up is due but could not be built
// (logged); like 0, nothing is to be sent.
inline constexpr int kFollowUpFailed = -1;

// The file the templates come from, resolved against the ini directory.
inline constexpr char kCameraDefinitionsFile[] = "qxacam.ini";

using CommandBuffer = std::span<char, kCommandSize>;
using ReplyBuffer = std::span<char, kHttpReplySize>;

// The camera families that can carry out commands, from "CameraFamily"
// compared without regard to case.
enum class CameraFamily { kOther, kSony, kSonyRsm };
CameraFamily FamilyOf(std::string_view family_text);

class CommandRecord : public core::CameraIdentity {
 public:
  // Stores address, port, reference (the name) and number in the identity
  // part. The records' own Init also loads their templates.
  void Init(std::string_view address_in, int port_in, std::string_view name, int number_in);

  int log_camera_number = 0;  // the camera number in the command log names

 protected:
  // Appends one line to this kind's daily log of the camera.
  void Log(const char* log_name_format, std::string_view text) const;
  // Logs and shows on the console (level 2) one refusal.
  void LogError(const char* log_name_format, std::string_view text) const;
  // Copies the command `filled` from `template_text` into `out` when it fits
  // and was not `cut` on the way; otherwise logs the refusal and gives -1
  // with `out` empty.
  int Deliver(const char* log_name_format, const std::string& template_text,
              const std::string& filled, bool cut, CommandBuffer out) const;
  // Sends a built command and logs how it went: 0 accepted (200 or 204),
  // -1 failed (the HTTP client's message in the log and on the console).
  int ExecuteCommand(const char* log_name_format, const char* command, ReplyBuffer reply_out,
                     int camera) const;
};

class IoBoxCommand : public CommandRecord {
 public:
  // Identity, then "GetIOParam" of "Cam%dData" (model).
  void Init(std::string_view address_in, int port_in, std::string_view name, int number_in);

  // Fills the IO template for `pin` in the state the status text asks for
  // (on when its first or second character is S or s). 0 built; -1 when the
  // family has no IO support or the command does not fit (both logged).
  int BuildCommand(CommandBuffer out, int pin, std::string_view status) const;
  // For a pulse ("PS10": on, then off after 10 seconds; "PR3": off, then on
  // after 3) builds the opposite state into `out` and gives the delay in
  // seconds. A plain set or reset (first character S, s, R or r) has no
  // follow-up: 0, nothing built. kFollowUpFailed when it could not be built.
  int BuildFollowUp(CommandBuffer out, int pin, std::string_view status) const;
  int Execute(const char* command, ReplyBuffer reply_out, int camera) const;

  int iobox_id_in_server = 0;  // "IoBoxIDInServer"
  std::string io_template;     // "GetIOParam", CR LF unescaped
};

class PtzCommand : public CommandRecord {
 public:
  // Identity, then "GetPresetParam" of "Cam%dData" (model).
  void Init(std::string_view address_in, int port_in, std::string_view name, int number_in);

  // Only the PTZ command "preset" (any case) exists: fills the preset
  // template. 0 built; -1 for another family, another command or a command
  // that does not fit (each logged; nothing built).
  int BuildCommand(CommandBuffer out, std::string_view ptz_command, int preset_index) const;
  int Execute(const char* command, ReplyBuffer reply_out, int camera) const;

  std::string preset_template;  // "GetPresetParam", CR LF unescaped
};

class RecordingCommand : public CommandRecord {
 public:
  // Identity, then "GetRecStartParam" and "GetRecStopParam" of "Cam%dData"
  // (model), "GetRecResponseRegExp" and "GetRecHandleIDSubst" of the section
  // named by the family text.
  void Init(std::string_view address_in, int port_in, std::string_view name, int number_in);

  // Recording runs on "sonyrsm" video servers only. 0 built; -1 otherwise
  // (logged) or when the command does not fit.
  int BuildStart(CommandBuffer out) const;
  // The stop command, with the handle GetHandleId finds in the start
  // command's reply ("-1" when there is none: the stop is still built).
  int BuildStop(CommandBuffer out, const char* start_reply) const;
  // The recording handle the reply expression and the handle substitution
  // take out of `reply`; kNoHandle when the expression does not compile or
  // does not match (logged).
  int GetHandleId(const char* reply) const;
  int Execute(const char* command, ReplyBuffer reply_out, int camera) const;

  std::string start_template;    // "GetRecStartParam", CR LF unescaped
  std::string stop_template;     // "GetRecStopParam", CR LF unescaped
  std::string reply_expression;  // "GetRecResponseRegExp", as written
  std::string handle_subst;      // "GetRecHandleIDSubst", as written
};

// The command records of every camera, by camera number. The gateway holds
// one, filled by the configuration loader before any thread starts and only
// read afterwards.
struct CommandRecords {
  IoBoxCommand io[core::kCameraSlots];
  PtzCommand ptz[core::kCameraSlots];
  RecordingCommand recording[core::kCameraSlots];
};

}  // namespace camera_http

#include "config.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "jpeg_frame.h"
#include "text.h"

namespace sim {

const char* const kUsage =
    "usage: ocelam-sim [--bind ADDR] [--control-port PORT] [--duration SECONDS]\n"
    "                  [--request-log FILE]\n"
    "                  [--camera KEYS]... [--cameras count=N[,first=ID][,KEYS]]...\n"
    "                  [--route camera=ID|all,path=PATH[,ROUTE-KEYS]]...\n"
    "                  [--videoserver VS-KEYS]...\n"
    "  KEYS is a comma-separated list of key=value (\"...\" quotes commas and blanks):\n"
    "    id=N (required for --camera)  port=P (0: a free port)  path=/mjpg\n"
    "    fps=F (default 10; 0: as fast as the client reads)  size=BYTES (0: natural)\n"
    "    user=U pass=P (stream and routes need them when user is set)\n"
    "    auth=basic|digest algorithm=MD5|SHA-256 qop=auth|none (of digest)\n"
    "    drop=0|1 after=N stall=MS halfclose=0|1 garbage=BYTES status=CODE\n"
    "    dead=0|1 blackhole=0|1 (connections never complete)\n"
    "    exif=0|1 (EXIF thumbnail in every frame)  partlen=0|1 (Content-Length in\n"
    "    part headers, default 1)  lenlie=N (added to every Content-Length, -100000\n"
    "    to 100000)\n"
    "  RTSP cameras (H.264/H.265 over RTSP; user, pass, auth, fps, drop, after,\n"
    "  stall, dead and blackhole as above; path defaults to /stream):\n"
    "    rtsp=h264|h265|jpeg width=W height=H (multiples of 8) gop=FRAMES bitrate=KBITS\n"
    "    slices=N pad=BYTES (H.264) nokey=0|1 garbage=BYTES (an RTP packet of garbage\n"
    "    after every packet) replay=FRAMES (encoded once, a multiple of gop)\n"
    "    keypad=BYTES bframes=N shared=0|1 audio=0|1 transport=any|udp|tcp\n"
    "    noend=0|1 hugesps=0|1 (h264) tsjump=0|1 rtploss=N redirect=URL\n"
    "  ROUTE-KEYS (command requests on a camera's port; path=* for any other path):\n"
    "    status=CODE body=TEXT ({n}: counter) mode=reply|raw|silent|close|reset\n"
    "    delay=MS split=AT:MS pad=BYTES counter=N\n"
    "  VS-KEYS (video server with alarm inputs):\n"
    "    id=N port=P heartbeat=MS hbtext=TEXT head=TEXT dead=0|1 loop=0|1\n"
    "    script steps in order: line=TEXT send=TEXT wait=MS silence=MS\n"
    "    split=AT:MS:TEXT close=1 script=FILE\n"
    "  TEXT takes the escapes \\r \\n \\t \\0 \\\\ \\\" \\xHH.\n"
    "  Prints \"KIND ID port P\" per device, \"control port P\" and \"ready\".\n"
    "  Control (one line per command on the control port; \"help\" lists them).\n";

const char* ModeName(CommandRoute::Mode mode) {
  switch (mode) {
    case CommandRoute::Mode::kReply:
      return "reply";
    case CommandRoute::Mode::kRaw:
      return "raw";
    case CommandRoute::Mode::kSilent:
      return "silent";
    case CommandRoute::Mode::kClose:
      return "close";
    case CommandRoute::Mode::kReset:
      return "reset";
  }
  return "reply";
}

namespace {

bool ParseFlag(std::string_view text, bool* out) {
  long v = 0;
  if (!ParseInt(text, 0, 1, &v)) return false;
  *out = v != 0;
  return true;
}

std::string Range(long min, long max) {
  return " (" + std::to_string(min) + " to " + std::to_string(max) + ")";
}

std::string BadValue(std::string_view key, std::string_view value, const std::string& why) {
  return "bad value for " + std::string(key) + ": '" + std::string(value) + "'" + why;
}

bool ParseMs(std::string_view key, std::string_view value, int* out, std::string* error) {
  long n = 0;
  if (!ParseInt(value, 0, kMaxStallMs, &n)) {
    *error = BadValue(key, value, Range(0, kMaxStallMs));
    return false;
  }
  *out = static_cast<int>(n);
  return true;
}

// Applies every item of a key list with `apply`.
template <typename Apply>
bool ForEachKey(std::string_view keys, std::string* error, Apply apply) {
  std::vector<std::string> items;
  if (!SplitItems(keys, &items, error)) return false;
  for (const std::string& item : items) {
    std::string_view key, value;
    if (!SplitItem(item, &key, &value, error)) return false;
    if (!apply(key, value)) return false;
  }
  return true;
}

bool IsPictureKey(std::string_view key) {
  return key == "rtsp" || key == "width" || key == "height" || key == "gop" || key == "bitrate" ||
         key == "slices" || key == "pad" || key == "nokey" || key == "replay" || key == "keypad" ||
         key == "bframes" || key == "shared" || key == "audio" || key == "transport" ||
         key == "noend" || key == "hugesps" || key == "tsjump";
}

// What a group of camera keys made of one key.
enum class KeyResult { kNotMine, kApplied, kRefused };

KeyResult Refuse(std::string_view key, std::string_view value, const std::string& why,
                 std::string* error) {
  *error = BadValue(key, value, why);
  return KeyResult::kRefused;
}

// Camera keys that take a whole number within limits.
struct NumberKey {
  std::string_view key;
  long min;
  long max;
  int CameraSettings::*field;
};
constexpr NumberKey kNumberKeys[] = {
    {"id", 1, kMaxDeviceId, &CameraSettings::id},
    {"port", 0, 65535, &CameraSettings::port},
    {"after", 0, kMaxAfterFrames, &CameraSettings::after},
    {"stall", 0, kMaxStallMs, &CameraSettings::stall_ms},
    {"garbage", 0, kMaxGarbageBytes, &CameraSettings::garbage},
    {"lenlie", -kMaxLengthLie, kMaxLengthLie, &CameraSettings::length_lie},
    {"gop", 1, kMaxGopFrames, &CameraSettings::gop},
    {"bitrate", 16, kMaxBitrateKbps, &CameraSettings::bitrate},
    {"slices", 0, kMaxSlices, &CameraSettings::slices},
    {"pad", 0, kMaxFillerBytes, &CameraSettings::pad},
    {"replay", 0, kMaxReplayFrames, &CameraSettings::replay},
    {"keypad", 0, kMaxFillerBytes, &CameraSettings::keypad},
    {"bframes", 0, kMaxBframes, &CameraSettings::bframes},
    {"rtploss", 0, kMaxRtpLoss, &CameraSettings::rtploss},
};

// Camera keys that take 0 or 1.
struct FlagKey {
  std::string_view key;
  bool CameraSettings::*field;
};
constexpr FlagKey kFlagKeys[] = {
    {"drop", &CameraSettings::drop},           {"halfclose", &CameraSettings::half_close},
    {"blackhole", &CameraSettings::blackhole}, {"dead", &CameraSettings::dead},
    {"exif", &CameraSettings::exif},           {"partlen", &CameraSettings::part_length},
    {"nokey", &CameraSettings::nokey},         {"shared", &CameraSettings::shared},
    {"audio", &CameraSettings::audio},         {"noend", &CameraSettings::noend},
    {"hugesps", &CameraSettings::hugesps},     {"tsjump", &CameraSettings::tsjump},
};

KeyResult ApplyTableKey(std::string_view key, std::string_view value, CameraSettings* s,
                        std::string* error) {
  for (const NumberKey& k : kNumberKeys) {
    if (k.key != key) continue;
    long n = 0;
    if (!ParseInt(value, k.min, k.max, &n)) return Refuse(key, value, Range(k.min, k.max), error);
    s->*k.field = static_cast<int>(n);
    return KeyResult::kApplied;
  }
  for (const FlagKey& k : kFlagKeys) {
    if (k.key != key) continue;
    if (!ParseFlag(value, &(s->*k.field))) return Refuse(key, value, " (0 or 1)", error);
    return KeyResult::kApplied;
  }
  return KeyResult::kNotMine;
}

// The stream's path, rate, frame size and forced status, and an RTSP
// camera's codec and picture size.
KeyResult ApplyStreamKey(std::string_view key, std::string_view value, CameraSettings* s,
                         std::string* error) {
  long n = 0;
  if (key == "rtsp") {
    if (value == "h264") {
      s->codec = CameraSettings::Codec::kH264;
    } else if (value == "h265") {
      s->codec = CameraSettings::Codec::kH265;
    } else if (value == "jpeg") {
      s->codec = CameraSettings::Codec::kJpeg;
    } else {
      return Refuse(key, value, " (h264, h265 or jpeg)", error);
    }
  } else if (key == "width" || key == "height") {
    const int max = key == "width" ? kMaxPictureWidth : kMaxPictureHeight;
    if (!ParseInt(value, kMinPictureSide, max, &n) || n % 8 != 0)
      return Refuse(key, value,
                    " (a multiple of 8 from " + std::to_string(kMinPictureSide) + " to " +
                        std::to_string(max) + ")",
                    error);
    (key == "width" ? s->width : s->height) = static_cast<int>(n);
  } else if (key == "path") {
    if (value.empty() || value.front() != '/')
      return Refuse(key, value, " (must start with /)", error);
    s->path = std::string(value);
    s->path_given = true;
  } else if (key == "fps") {
    if (!ParseDouble(value, 0, kMaxFps, &s->fps)) return Refuse(key, value, " (0 to 1000)", error);
  } else if (key == "size") {
    if (!ParseInt(value, 0, static_cast<long>(kMaxFrameSize), &n) ||
        (n != 0 && n < static_cast<long>(kMinFrameSize)))
      return Refuse(
          key, value,
          " (0, or " + std::to_string(kMinFrameSize) + " to " + std::to_string(kMaxFrameSize) + ")",
          error);
    s->size = static_cast<std::size_t>(n);
  } else if (key == "transport") {
    if (value == "any") {
      s->transport = CameraSettings::Transport::kAny;
    } else if (value == "udp") {
      s->transport = CameraSettings::Transport::kUdp;
    } else if (value == "tcp") {
      s->transport = CameraSettings::Transport::kTcp;
    } else {
      return Refuse(key, value, " (any, udp or tcp)", error);
    }
  } else if (key == "redirect") {
    if (!value.empty() && value.substr(0, 7) != "rtsp://")
      return Refuse(key, value, " (empty, or a URL that starts with rtsp://)", error);
    if (value.find_first_of("\r\n") != std::string_view::npos)
      return Refuse(key, value, " (one line)", error);
    s->redirect = std::string(value);
  } else if (key == "status") {
    if (!ParseInt(value, 0, 599, &n) || (n != 0 && n < 100))
      return Refuse(key, value, " (0, or 100 to 599)", error);
    s->status = static_cast<int>(n);
  } else {
    return KeyResult::kNotMine;
  }
  return KeyResult::kApplied;
}

// Who may see the stream and the routes, and how they prove it.
KeyResult ApplyAuthKey(std::string_view key, std::string_view value, CameraSettings* s,
                       std::string* error) {
  if (key == "user") {
    s->user = std::string(value);
  } else if (key == "pass") {
    s->pass = std::string(value);
  } else if (key == "auth") {
    if (value == "basic") {
      s->auth = CameraSettings::Auth::kBasic;
    } else if (value == "digest") {
      s->auth = CameraSettings::Auth::kDigest;
    } else {
      return Refuse(key, value, " (basic or digest)", error);
    }
  } else if (key == "algorithm") {
    if (value != "MD5" && value != "SHA-256") return Refuse(key, value, " (MD5 or SHA-256)", error);
    s->algorithm = std::string(value);
  } else if (key == "qop") {
    if (value != "auth" && value != "none") return Refuse(key, value, " (auth or none)", error);
    s->qop = value == "auth";
  } else {
    return KeyResult::kNotMine;
  }
  return KeyResult::kApplied;
}

// Whether `key` may change at `when`; `error` says why not.
bool KeyChangesNow(std::string_view key, KeyTime when, const CameraSettings& s,
                   std::string* error) {
  const bool rtsp = s.codec != CameraSettings::Codec::kNone;
  if ((when != KeyTime::kStart && (key == "id" || key == "port")) ||
      (when == KeyTime::kSet && key == "fps" && !rtsp) ||
      (when == KeyTime::kSet && key == "rtsp")) {
    *error = std::string(key) + " is fixed at start";
    return false;
  }
  if (when == KeyTime::kSet && rtsp && (key == "fps" || key == "path" || IsPictureKey(key))) {
    *error = std::string(key) + " of an rtsp camera changes with restart";
    return false;
  }
  return true;
}

bool ApplyKey(std::string_view key, std::string_view value, KeyTime when, CameraSettings* s,
              std::string* error) {
  if (!KeyChangesNow(key, when, *s, error)) return false;
  for (auto apply : {ApplyTableKey, ApplyStreamKey, ApplyAuthKey}) {
    const KeyResult result = apply(key, value, s, error);
    if (result != KeyResult::kNotMine) return result == KeyResult::kApplied;
  }
  *error = "unknown key '" + std::string(key) + "'";
  return false;
}

// "AT:MS" of a split; `rest` gets what follows a second colon, if any.
bool ParseSplit(std::string_view key, std::string_view value, bool with_text, std::size_t* at,
                int* ms, std::string_view* rest, std::string* error) {
  std::size_t c1 = value.find(':');
  std::size_t c2 = c1 == std::string_view::npos ? c1 : value.find(':', c1 + 1);
  if (c1 == std::string_view::npos || (with_text && c2 == std::string_view::npos)) {
    *error = BadValue(key, value, with_text ? " (AT:MS:TEXT)" : " (AT:MS)");
    return false;
  }
  std::string_view ms_text = with_text ? value.substr(c1 + 1, c2 - c1 - 1) : value.substr(c1 + 1);
  long n = 0;
  if (!ParseInt(value.substr(0, c1), 1, kMaxPadBytes, &n)) {
    *error = BadValue(key, value, " (AT from 1 to " + std::to_string(kMaxPadBytes) + ")");
    return false;
  }
  *at = static_cast<std::size_t>(n);
  if (!ParseMs(key, ms_text, ms, error)) return false;
  if (with_text) *rest = value.substr(c2 + 1);
  return true;
}

bool ParseText(std::string_view key, std::string_view value, std::string* out, std::string* error) {
  std::string why;
  if (!Unescape(value, out, &why)) {
    *error = "bad value for " + std::string(key) + ": " + why;
    return false;
  }
  return true;
}

bool SplitStep(std::size_t at, int ms, std::string text, std::vector<ScriptStep>* steps,
               std::string* error) {
  if (at >= text.size()) {
    *error = "split at " + std::to_string(at) + " is not inside its " +
             std::to_string(text.size()) + " bytes";
    return false;
  }
  steps->push_back(ScriptStep{ScriptStep::Kind::kSplit, std::move(text), ms, at});
  return true;
}

bool AddScriptKey(std::string_view key, std::string_view value, VideoServerSettings* s,
                  std::string* error) {
  std::string text;
  int ms = 0;
  if (key == "line" || key == "send") {
    if (!ParseText(key, value, &text, error)) return false;
    if (key == "line") text += "\r\n";
    s->script.push_back(ScriptStep{ScriptStep::Kind::kSend, std::move(text), 0, 0});
  } else if (key == "wait" || key == "silence") {
    if (!ParseMs(key, value, &ms, error)) return false;
    s->script.push_back(ScriptStep{
        key == "wait" ? ScriptStep::Kind::kWait : ScriptStep::Kind::kSilence, "", ms, 0});
  } else if (key == "split") {
    std::size_t at = 0;
    std::string_view rest;
    if (!ParseSplit(key, value, true, &at, &ms, &rest, error)) return false;
    if (!ParseText(key, rest, &text, error)) return false;
    if (!SplitStep(at, ms, std::move(text), &s->script, error)) return false;
  } else if (key == "close") {
    if (value != "1") {
      *error = BadValue(key, value, " (only 1)");
      return false;
    }
    s->script.push_back(ScriptStep{ScriptStep::Kind::kClose, "", 0, 0});
  } else if (key == "script") {
    std::vector<ScriptStep> steps;
    if (!LoadScript(std::string(value), &steps, error)) return false;
    s->script.insert(s->script.end(), steps.begin(), steps.end());
  } else {
    *error = "unknown key '" + std::string(key) + "'";
    return false;
  }
  if (s->script.size() > kMaxScriptSteps) {
    *error = "more than " + std::to_string(kMaxScriptSteps) + " script steps";
    return false;
  }
  return true;
}

// "--cameras count=N,first=ID,...": N cameras with ids from `first` on; a
// port other than 0 is the first of N consecutive ports.
bool AddCameraGroup(std::string_view keys, Options* options, std::string* error) {
  long count = 0, first = 1;
  std::string rest;
  bool ok = ForEachKey(keys, error, [&](std::string_view key, std::string_view value) {
    if (key == "count") {
      if (!ParseInt(value, 1, kMaxCameraCount, &count)) {
        *error = BadValue(key, value, Range(1, kMaxCameraCount));
        return false;
      }
    } else if (key == "first") {
      if (!ParseInt(value, 1, kMaxDeviceId, &first)) {
        *error = BadValue(key, value, Range(1, kMaxDeviceId));
        return false;
      }
    } else if (key == "id") {
      *error = "--cameras takes first=ID, not id";
      return false;
    } else {
      // Quoted again, so that a value with blanks or commas survives.
      rest.append(key).append("=\"");
      for (std::size_t k = 0; k < value.size(); ++k) {
        if (value[k] == '\\' && k + 1 < value.size()) {
          rest += value[k++];
        } else if (value[k] == '"') {
          rest += '\\';
        }
        rest += value[k];
      }
      rest.append("\",");
    }
    return true;
  });
  if (!ok) return false;
  if (count == 0) {
    *error = "--cameras needs count=N";
    return false;
  }
  if (first + count - 1 > kMaxDeviceId) {
    *error = "camera ids beyond " + std::to_string(kMaxDeviceId);
    return false;
  }
  CameraSettings base;
  if (!ApplyCameraKeys(rest, KeyTime::kStart, &base, error)) return false;
  if (base.port != 0 && base.port + count - 1 > 65535) {
    *error = "camera ports beyond 65535";
    return false;
  }
  for (long i = 0; i < count; ++i) {
    CameraSettings s = base;
    s.id = static_cast<int>(first + i);
    if (base.port != 0) s.port = static_cast<int>(base.port + i);
    options->cameras.push_back(s);
  }
  return true;
}

// The combinations of an RTSP camera's keys that cannot work together.
bool CheckRtspKeys(const CameraSettings& s, std::string* error) {
  using Codec = CameraSettings::Codec;
  const char* why = nullptr;
  if (s.slices != 0 && s.codec != Codec::kH264) {
    why = "slices are for rtsp=h264 cameras";
  } else if ((s.pad != 0 || s.keypad != 0 || s.bframes != 0) && s.codec == Codec::kJpeg) {
    why = "pad, keypad and bframes are for rtsp=h264|h265 cameras";
  } else if ((s.noend || s.hugesps) && s.codec != Codec::kH264) {
    why = "noend and hugesps are for rtsp=h264 cameras";
  } else if (s.shared && (s.drop || s.replay != 0)) {
    why = "a shared camera takes neither drop nor replay";
  } else if (s.replay != 0 && s.bframes != 0) {
    why = "replay takes no bframes";
  }
  if (why == nullptr) return true;
  *error = why;
  return false;
}

bool CheckLoop(const VideoServerSettings& s, std::string* error) {
  if (!s.loop) return true;
  for (const ScriptStep& step : s.script)
    if (step.ms > 0) return true;
  *error = "videoserver " + std::to_string(s.id) +
           ": loop=1 needs a pause (wait, silence or split) in the script";
  return false;
}

}  // namespace

const char* CodecName(CameraSettings::Codec codec) {
  switch (codec) {
    case CameraSettings::Codec::kH264:
      return "h264";
    case CameraSettings::Codec::kH265:
      return "h265";
    case CameraSettings::Codec::kJpeg:
      return "jpeg";
    case CameraSettings::Codec::kNone:
      break;
  }
  return "mjpeg";
}

bool ApplyCameraKeys(std::string_view keys, KeyTime when, CameraSettings* settings,
                     std::string* error) {
  const CameraSettings::Codec kind_before = settings->codec;
  if (!ForEachKey(keys, error, [&](std::string_view key, std::string_view value) {
        return ApplyKey(key, value, when, settings, error);
      }))
    return false;
  CameraSettings& s = *settings;
  const bool rtsp = s.codec != CameraSettings::Codec::kNone;
  if (when == KeyTime::kRestart && rtsp != (kind_before != CameraSettings::Codec::kNone)) {
    *error = "an MJPEG camera does not turn into an rtsp one";
    return false;
  }
  if (rtsp) {
    if (!s.path_given) s.path = std::string(kRtspDefaultPath);
    // What only the MJPEG stream and its HTTP port do.
    const char* mjpeg_only = s.size != 0            ? "size"
                             : s.exif               ? "exif"
                             : !s.part_length       ? "partlen"
                             : s.length_lie != 0    ? "lenlie"
                             : s.half_close         ? "halfclose"
                             : s.status != 0        ? "status"
                             : s.algorithm != "MD5" ? "algorithm"
                             : !s.qop               ? "qop"
                             : !s.routes.empty()    ? "a route"
                                                    : nullptr;
    if (mjpeg_only != nullptr) {
      *error = std::string(mjpeg_only) + " is for MJPEG cameras, not rtsp ones";
      return false;
    }
    if (s.fps <= 0) {
      *error = "an rtsp camera needs fps above 0";
      return false;
    }
    if (s.garbage > kMaxRtspGarbageBytes) {
      *error = "the garbage packets of an rtsp camera hold at most " +
               std::to_string(kMaxRtspGarbageBytes) + " bytes";
      return false;
    }
    if (s.replay % s.gop != 0 || (s.replay != 0 && s.codec == CameraSettings::Codec::kJpeg)) {
      *error = "replay is a multiple of gop, for rtsp=h264|h265 cameras";
      return false;
    }
    if (!CheckRtspKeys(s, error)) return false;
  } else {
    const CameraSettings plain;
    if (s.width != plain.width || s.height != plain.height || s.gop != plain.gop ||
        s.bitrate != plain.bitrate || s.slices != 0 || s.pad != 0 || s.nokey || s.replay != 0 ||
        s.keypad != 0 || s.bframes != 0 || s.shared || s.audio ||
        s.transport != plain.transport || s.noend || s.hugesps || s.tsjump || s.rtploss != 0 ||
        !s.redirect.empty()) {
      *error =
          "width, height, gop, bitrate, slices, pad, nokey, replay, keypad, bframes, shared, "
          "audio, transport, noend, hugesps, tsjump, rtploss and redirect are for rtsp cameras "
          "(rtsp=h264|h265|jpeg)";
      return false;
    }
  }
  return true;
}

void ClearFaults(CameraSettings* s) {
  s->drop = false;
  s->after = 0;
  s->stall_ms = 0;
  s->garbage = 0;
  s->status = 0;
  s->dead = false;
  s->half_close = false;
  s->blackhole = false;
  s->exif = false;
  s->part_length = true;
  s->length_lie = 0;
  s->rtploss = 0;
  s->redirect.clear();
}

bool ParseRoute(std::string_view keys, CommandRoute* route, int* camera, std::string* error) {
  bool have_camera = false;
  bool ok = ForEachKey(keys, error, [&](std::string_view key, std::string_view value) {
    long n = 0;
    auto bad = [&](const std::string& why) {
      *error = BadValue(key, value, why);
      return false;
    };
    if (key == "camera" && camera != nullptr) {
      if (value == "all") {
        *camera = 0;
      } else if (ParseInt(value, 1, kMaxDeviceId, &n)) {
        *camera = static_cast<int>(n);
      } else {
        return bad(" (all, or 1 to " + std::to_string(kMaxDeviceId) + ")");
      }
      have_camera = true;
    } else if (key == "path") {
      if (value != "*" && (value.empty() || value.front() != '/'))
        return bad(" (* or a path starting with /)");
      route->path = std::string(value);
    } else if (key == "status") {
      if (!ParseInt(value, 100, 599, &n)) return bad(Range(100, 599));
      route->status = static_cast<int>(n);
    } else if (key == "body") {
      if (!ParseText(key, value, &route->body, error)) return false;
      route->has_body = true;
    } else if (key == "mode") {
      using M = CommandRoute::Mode;
      bool known = false;
      for (M m : {M::kReply, M::kRaw, M::kSilent, M::kClose, M::kReset}) {
        if (value == ModeName(m)) {
          route->mode = m;
          known = true;
        }
      }
      if (!known) return bad(" (reply, raw, silent, close or reset)");
    } else if (key == "delay") {
      if (!ParseMs(key, value, &route->delay_ms, error)) return false;
    } else if (key == "split") {
      std::string_view unused;
      if (!ParseSplit(key, value, false, &route->split_at, &route->split_ms, &unused, error))
        return false;
    } else if (key == "pad") {
      if (!ParseInt(value, 0, kMaxPadBytes, &n)) return bad(Range(0, kMaxPadBytes));
      route->pad = static_cast<int>(n);
    } else if (key == "counter") {
      if (!ParseInt(value, 0, 999999999999L, &n)) return bad(Range(0, 999999999999L));
      route->counter = static_cast<std::uint64_t>(n);
    } else {
      *error = "unknown key '" + std::string(key) + "'";
      return false;
    }
    return true;
  });
  if (!ok) return false;
  if (route->path.empty()) {
    *error = "a route needs path=PATH";
    return false;
  }
  if (camera != nullptr && !have_camera) {
    *error = "--route needs camera=ID or camera=all";
    return false;
  }
  return true;
}

bool ApplyVideoServerKeys(std::string_view keys, bool at_run_time, VideoServerSettings* s,
                          std::string* error) {
  return ForEachKey(keys, error, [&](std::string_view key, std::string_view value) {
    long n = 0;
    auto bad = [&](const std::string& why) {
      *error = BadValue(key, value, why);
      return false;
    };
    if (key == "heartbeat") return ParseMs(key, value, &s->heartbeat_ms, error);
    if (key == "hbtext") return ParseText(key, value, &s->heartbeat_text, error);
    if (key == "head") return ParseText(key, value, &s->head, error);
    if (key == "dead") return ParseFlag(value, &s->dead) || bad(" (0 or 1)");
    if (at_run_time) {
      *error = std::string(key) + " is fixed at start";
      return false;
    }
    if (key == "id") {
      if (!ParseInt(value, 1, kMaxDeviceId, &n)) return bad(Range(1, kMaxDeviceId));
      s->id = static_cast<int>(n);
      return true;
    }
    if (key == "port") {
      if (!ParseInt(value, 0, 65535, &n)) return bad(Range(0, 65535));
      s->port = static_cast<int>(n);
      return true;
    }
    if (key == "loop") return ParseFlag(value, &s->loop) || bad(" (0 or 1)");
    return AddScriptKey(key, value, s, error);
  });
}

bool LoadScript(const std::string& path, std::vector<ScriptStep>* steps, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read script " + path;
    return false;
  }
  std::string line;
  int number = 0;
  std::size_t total = 0;
  auto fail = [&](const std::string& why) {
    *error = path + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    total += line.size() + 1;
    if (total > kMaxScriptFileBytes)
      return fail("script longer than " + std::to_string(kMaxScriptFileBytes) + " bytes");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::size_t end = line.find_first_of(" \t", start);
    std::string word = line.substr(start, end == std::string::npos ? end : end - start);
    // The text is everything after the one blank that follows the word.
    std::string rest = end == std::string::npos ? "" : line.substr(end + 1);
    std::string why;
    std::string text;
    if (word == "line" || word == "send") {
      if (!Unescape(rest, &text, &why)) return fail(why);
      if (word == "line") text += "\r\n";
      steps->push_back(ScriptStep{ScriptStep::Kind::kSend, std::move(text), 0, 0});
    } else if (word == "wait" || word == "silence") {
      int ms = 0;
      if (!ParseMs(word, rest, &ms, &why)) return fail(why);
      steps->push_back(ScriptStep{
          word == "wait" ? ScriptStep::Kind::kWait : ScriptStep::Kind::kSilence, "", ms, 0});
    } else if (word == "split") {
      // "split AT MS TEXT"
      std::istringstream fields(rest);
      std::string at_text, ms_text;
      fields >> at_text >> ms_text;
      long at = 0;
      int ms = 0;
      if (!ParseInt(at_text, 1, kMaxPadBytes, &at)) return fail("split needs AT MS TEXT");
      if (!ParseMs("split", ms_text, &ms, &why)) return fail(why);
      std::streamoff used = fields.tellg();
      std::string tail = used < 0 ? "" : rest.substr(static_cast<std::size_t>(used));
      if (!tail.empty()) tail.erase(0, 1);
      if (!Unescape(tail, &text, &why)) return fail(why);
      if (!SplitStep(static_cast<std::size_t>(at), ms, std::move(text), steps, &why))
        return fail(why);
    } else if (word == "close") {
      steps->push_back(ScriptStep{ScriptStep::Kind::kClose, "", 0, 0});
    } else {
      return fail("unknown step '" + word + "'");
    }
    if (steps->size() > kMaxScriptSteps)
      return fail("more than " + std::to_string(kMaxScriptSteps) + " script steps");
  }
  return true;
}

namespace {

// A --route, put on its cameras once every camera is known.
struct PendingRoute {
  int camera;  // 0: every MJPEG camera
  CommandRoute route;
};

// Applies one option of the command line with its value.
bool ApplyOption(std::string_view name, std::string_view value, Options* options,
                 std::vector<PendingRoute>* routes, std::string* error) {
  long n = 0;
  if (name == "--bind") {
    options->bind = std::string(value);
  } else if (name == "--control-port") {
    if (!ParseInt(value, 0, 65535, &n)) {
      *error = "bad control port '" + std::string(value) + "'";
      return false;
    }
    options->control_port = static_cast<int>(n);
  } else if (name == "--duration") {
    if (!ParseDouble(value, 0, 1e9, &options->duration_s)) {
      *error = "bad duration '" + std::string(value) + "'";
      return false;
    }
  } else if (name == "--request-log") {
    if (value.empty()) {
      *error = "--request-log needs a file name";
      return false;
    }
    options->request_log = std::string(value);
  } else if (name == "--camera") {
    CameraSettings s;
    if (!ApplyCameraKeys(value, KeyTime::kStart, &s, error)) return false;
    if (s.id == 0) {
      *error = "--camera needs id=N";
      return false;
    }
    options->cameras.push_back(s);
  } else if (name == "--cameras") {
    return AddCameraGroup(value, options, error);
  } else if (name == "--route") {
    PendingRoute r{0, {}};
    if (!ParseRoute(value, &r.route, &r.camera, error)) return false;
    routes->push_back(std::move(r));
  } else if (name == "--videoserver") {
    VideoServerSettings s;
    if (!ApplyVideoServerKeys(value, false, &s, error)) return false;
    if (s.id == 0) {
      *error = "--videoserver needs id=N";
      return false;
    }
    if (!CheckLoop(s, error)) return false;
    options->videoservers.push_back(std::move(s));
  } else {
    *error = "unknown option " + std::string(name);
    return false;
  }
  return true;
}

// No id twice within a kind, no port twice at all (0 is any free port).
bool CheckDistinct(const Options& options, std::string* error) {
  std::set<int> camera_ids, server_ids, ports;
  auto check_port = [&](int port) {
    if (port != 0 && !ports.insert(port).second) {
      *error = "port " + std::to_string(port) + " given twice";
      return false;
    }
    return true;
  };
  for (const CameraSettings& c : options.cameras) {
    if (!camera_ids.insert(c.id).second) {
      *error = "camera id " + std::to_string(c.id) + " given twice";
      return false;
    }
    if (!check_port(c.port)) return false;
  }
  for (const VideoServerSettings& v : options.videoservers) {
    if (!server_ids.insert(v.id).second) {
      *error = "videoserver id " + std::to_string(v.id) + " given twice";
      return false;
    }
    if (!check_port(v.port)) return false;
  }
  return true;
}

// Puts every route on its camera, or on every MJPEG camera.
bool AttachRoutes(const std::vector<PendingRoute>& routes, Options* options, std::string* error) {
  for (const PendingRoute& r : routes) {
    const bool known = std::any_of(options->cameras.begin(), options->cameras.end(),
                                   [&](const CameraSettings& c) { return c.id == r.camera; });
    if (r.camera != 0 && !known) {
      *error = "--route for camera " + std::to_string(r.camera) + ", which is not given";
      return false;
    }
    for (CameraSettings& c : options->cameras) {
      if (r.camera != 0 && c.id != r.camera) continue;
      if (c.codec != CameraSettings::Codec::kNone) {
        if (r.camera == 0) continue;
        *error = "--route for camera " + std::to_string(c.id) + ", an rtsp camera";
        return false;
      }
      // A later route for the same path replaces the earlier one.
      std::erase_if(c.routes, [&](const CommandRoute& old) { return old.path == r.route.path; });
      c.routes.push_back(r.route);
    }
  }
  return true;
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, Options* options, bool* help, std::string* error) {
  *help = false;
  std::vector<PendingRoute> routes;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view value;
    std::size_t eq = arg.find('=');
    bool inline_value = arg.substr(0, 2) == "--" && eq != std::string_view::npos;
    std::string_view name = inline_value ? arg.substr(0, eq) : arg;
    if (name == "--help" || name == "-h") {
      *help = true;
      return true;
    }
    if (inline_value) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "missing value after " + std::string(arg);
      return false;
    }
    if (!ApplyOption(name, value, options, &routes, error)) return false;
  }
  if (!CheckDistinct(*options, error) || !AttachRoutes(routes, options, error)) return false;
  if (options->cameras.empty() && options->videoservers.empty()) {
    *error = "no device given";
    return false;
  }
  return true;
}

}  // namespace sim

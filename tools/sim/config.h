#pragma once
// Settings of the simulated devices and the command line that sets them.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Limits a user can run into; values outside them are refused with a message.
inline constexpr int kMaxDeviceId = 99999;
inline constexpr double kMaxFps = 1000;
inline constexpr int kMaxAfterFrames = 1000000;
inline constexpr int kMaxStallMs = 24 * 3600 * 1000;
inline constexpr int kMaxGarbageBytes = 1000000;
inline constexpr int kMaxCameraCount = 1000;
inline constexpr int kMaxPadBytes = 1000000;
inline constexpr int kMaxLengthLie = 100000;
inline constexpr std::size_t kMaxScriptSteps = 100000;
inline constexpr std::size_t kMaxScriptFileBytes = 16 * 1024 * 1024;
inline constexpr int kMinPictureSide = 64;
inline constexpr int kMaxPictureWidth = 4096;
inline constexpr int kMaxPictureHeight = 2304;
inline constexpr int kMaxGopFrames = 10000;
inline constexpr int kMaxSlices = 32;
inline constexpr int kMaxReplayFrames = 1000;
inline constexpr int kMaxFillerBytes = 4500000;
inline constexpr int kMaxBframes = 4;
inline constexpr int kMaxRtpLoss = 1000000;
// An RTSP camera's garbage packet must fit one interleaved frame.
inline constexpr int kMaxRtspGarbageBytes = 60000;
inline constexpr int kMaxBitrateKbps = 100000;

// How a camera answers a command request on one path.
struct CommandRoute {
  enum class Mode {
    kReply,   // status line, headers and the body
    kRaw,     // the body is the whole reply, sent as it is
    kSilent,  // no answer; the connection stays open until the client goes
    kClose,   // the connection is closed without a byte
    kReset,   // the connection is reset without a byte
  };
  std::string path;  // "*": any path that no other route nor the stream takes
  int status = 200;
  bool has_body = false;  // without a body: "<status> <reason>" CR LF
  std::string body;       // bytes; "{n}" stands for the counter
  Mode mode = Mode::kReply;
  int delay_ms = 0;          // pause before the answer (or the close)
  std::size_t split_at = 0;  // not 0: the first this many bytes, a pause, the rest
  int split_ms = 0;
  int pad = 0;                // bytes of '.' added to the body
  std::uint64_t counter = 1;  // "{n}" of the next answer; counts up
};

const char* ModeName(CommandRoute::Mode mode);

struct CameraSettings {
  int id = 0;
  int port = 0;                // 0: any free port
  std::string path = "/mjpg";  // an RTSP camera's default is kRtspDefaultPath
  bool path_given = false;
  double fps = 10;       // 0: as fast as the client takes the frames
  std::size_t size = 0;  // bytes per frame; 0: natural size
  // Authentication of the stream and the command routes, when `user` is
  // not empty.
  enum class Auth { kBasic, kDigest };
  std::string user;
  std::string pass;
  Auth auth = Auth::kBasic;
  std::string algorithm = "MD5";  // of Digest: "MD5" or "SHA-256"
  bool qop = true;                // Digest with qop=auth; false: the older form without
  // Misbehaviour.
  bool drop = false;        // close the connection in the middle of a frame
  int after = 0;            // complete frames a connection gets before drop or stall
  int stall_ms = 0;         // pause in the middle of a frame, connection kept
  int garbage = 0;          // bytes of garbage (never 0xFF) after every frame
  int status = 0;           // answer every request with this status instead
  bool dead = false;        // refuse connections, end open ones
  bool half_close = false;  // shut our sending side down in the middle of a frame
  bool blackhole = false;   // a full backlog that is never accepted: connects hang
  bool exif = false;        // an EXIF thumbnail (a JPEG of its own) in every frame
  bool part_length = true;  // part headers carry Content-Length
  int length_lie = 0;       // added to every announced Content-Length
  // Command requests, by path.
  std::vector<CommandRoute> routes;
  // An RTSP camera (H.264 or H.265 over RTSP) instead of the MJPEG stream,
  // and its picture; these change only with a restart.
  enum class Codec { kNone, kH264, kH265, kJpeg };  // kJpeg: JPEG over RTP
  Codec codec = Codec::kNone;
  int width = 640;
  int height = 360;
  int gop = 10;        // frames from one key frame to the next
  int bitrate = 1000;  // kbit/s
  int slices = 0;      // H.264: slices per frame (0: the encoder's choice, one)
  int pad = 0;         // H.264: bytes of filler data added to every frame
  bool nokey = false;  // key frames are never sent
  int replay = 0;      // frames encoded once and sent over and over (0: every frame encoded)
  int keypad = 0;      // bytes of filler data added to every key frame
  int bframes = 0;     // B-frames between reference frames (H.264, H.265)
  bool shared = false;  // one encoder for every client, running from the start
  bool audio = false;   // an A-law audio track beside the video
  enum class Transport { kAny, kUdp, kTcp };
  Transport transport = Transport::kAny;  // lower transports offered
  // Bad streams: a frame that never ends, an SPS of 16384x16384, RTP
  // timestamps that jump by seconds.
  bool noend = false;
  bool hugesps = false;
  bool tsjump = false;
  // Fault keys of `set`: every Nth video RTP packet left out (0: none), and
  // the URL DESCRIBE is redirected to (empty: none).
  int rtploss = 0;
  std::string redirect;
};

inline constexpr std::string_view kRtspDefaultPath = "/stream";

const char* CodecName(CameraSettings::Codec codec);

// When keys are applied: on the command line, by `set` (id, port, fps, the
// kind and an RTSP camera's picture are fixed), or by an RTSP camera's
// `restart` (which may change its picture, codec and fps too).
enum class KeyTime { kStart, kSet, kRestart };

// Applies one "key=value" list (separated by commas or blanks) to `settings`
// and checks that the keys suit the camera's kind (MJPEG or RTSP). Keys
// fixed at `when` are refused. On failure `settings` may be partly changed
// and `error` says why.
bool ApplyCameraKeys(std::string_view keys, KeyTime when, CameraSettings* settings,
                     std::string* error);

// Turns every misbehaviour off.
void ClearFaults(CameraSettings* settings);

// Reads a route's keys (path, status, body, mode, delay, split, pad,
// counter; `camera` only when `camera` is not null: the id, 0 for all).
bool ParseRoute(std::string_view keys, CommandRoute* route, int* camera, std::string* error);

// One step of a video server's script, run on every connection once its
// request has come.
struct ScriptStep {
  enum class Kind {
    kSend,     // `text` as it is (a "line" has its CR LF in `text`)
    kWait,     // pause the script `ms`; heartbeats go on
    kSilence,  // send nothing at all for `ms`
    kSplit,    // `text` in two sends: `at` bytes, `ms` pause, the rest
    kClose,    // close the connection
  };
  Kind kind = Kind::kSend;
  std::string text;
  int ms = 0;
  std::size_t at = 0;
};

struct VideoServerSettings {
  int id = 0;
  int port = 0;
  int heartbeat_ms = 0;                      // 0: no heartbeat lines
  std::string heartbeat_text = "heartbeat";  // sent followed by CR LF
  std::string head;                          // sent once, right after the request
  std::vector<ScriptStep> script;
  bool loop = false;  // run the script again after its last step
  bool dead = false;
};

// As ApplyCameraKeys for a video server; at run time only heartbeat,
// hbtext, head and dead may change.
bool ApplyVideoServerKeys(std::string_view keys, bool at_run_time, VideoServerSettings* settings,
                          std::string* error);

// Reads a script file: one step per line ("line TEXT", "send TEXT",
// "wait MS", "silence MS", "split AT MS TEXT", "close"; "#" comments).
bool LoadScript(const std::string& path, std::vector<ScriptStep>* steps, std::string* error);

struct Options {
  std::string bind = "127.0.0.1";
  int control_port = 0;
  double duration_s = 0;    // 0: until a signal or "quit"
  std::string request_log;  // file the requests are appended to; empty: none
  std::vector<CameraSettings> cameras;
  std::vector<VideoServerSettings> videoservers;
};

// Parses the command line; false with `error` on a mistake. `*help` is set
// when usage was asked for.
bool ParseCommandLine(int argc, char** argv, Options* options, bool* help, std::string* error);

extern const char* const kUsage;

}  // namespace sim

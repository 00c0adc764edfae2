#pragma once
// Pure helpers of the RTSP stream: the camera's address, and the moment each
// frame was captured.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// True when `uri` is a whole RTSP address ("rtsp://", any letter case).
bool IsRtspUri(std::string_view uri);

// The RTSP address of a camera: its "RequestUri" when that is a whole
// rtsp:// address, else rtsp://address:port followed by the request path.
// With a user name the credentials are put in, percent-encoded, unless the
// address holds some already; without one, credentials already in it are
// left out (the form logs show).
std::string RtspAddress(const std::string& address, int port, const std::string& uri,
                        const std::string& user, const std::string& password);

// What a piece of an H.264 or H.265 stream (Annex B: NAL units behind start
// codes) holds of a picture: the first slice of one (it begins a frame),
// only later slices (it continues one), or no slice at all (parameter sets,
// messages: they go with the picture after them).
enum class PieceKind { kBeginsPicture, kContinuesPicture, kNoPicture };
PieceKind ClassifyPiece(const std::uint8_t* data, std::size_t size, bool hevc);

// Turns the presentation times of a connection's frames into the monotonic
// moments they were captured. The moment a frame comes out of the demuxer
// says little: TCP delivers in bursts, and the parser hands a frame over
// only once it sees where it ends (the next frame beginning to arrive, a
// frame period later, unless the frame came in several pieces, the first of
// which it hands over as soon as the second begins). The camera's own clock
// spaces the frames exactly. The clock is anchored at the earliest arrival
// seen for a given presentation time (so the smallest delay), follows a
// camera clock slower than ours by up to 1 ms a second, and starts anew on
// a jump of its times.
class CaptureClock {
 public:
  // `pts_us`: the frame's presentation time (any origin); `arrival_us`: when
  // its first piece came out of the demuxer; `late`: whether that was a frame
  // period after it began to arrive (a frame in one piece). Moments never go
  // back and never lie ahead of the arrival.
  std::int64_t Moment(std::int64_t pts_us, std::int64_t arrival_us, bool late);
  // A frame before the first, dated by the caller: its time tells the
  // spacing of the frames from the first on.
  void Prime(std::int64_t pts_us) {
    primed_ = true;
    last_pts_ = pts_us;
  }

 private:
  bool started_ = false;
  bool primed_ = false;
  std::int64_t anchor_ = 0;  // arrival less presentation time, at its smallest
  std::int64_t last_pts_ = 0;
  std::int64_t last_arrival_ = 0;
  std::int64_t last_moment_ = 0;
  std::int64_t period_ = 0;  // the latest spacing of two frames
};

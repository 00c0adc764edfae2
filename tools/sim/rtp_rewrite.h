#pragma once
// Byte-level rewrites of what an RTSP camera sends, for the bad streams and
// the clock steps: filler NAL units, an SPS that announces another picture
// size, RTP packets of a frame that never ends, RTP timestamps that jump and
// RTCP sender reports of a stepped clock. Plain functions on bytes (no
// GStreamer), called on GStreamer's streaming threads with state of their
// caller's.
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// An Annex B filler NAL unit (start code included) holding `size` bytes of
// 0xFF: type 12 for H.264, type 38 for H.265. Decoders skip it.
std::string FillerNal(bool h265, std::size_t size);

// Rewrites every H.264 SPS of the Annex B access unit `au` to announce a
// picture of `width` x `height` (multiples of 16) without cropping; false
// when an SPS cannot be read (one with scaling matrices included), `out`
// then unchanged.
bool RewriteSpsPicture(std::string_view au, int width, int height, std::string* out);

// Where a never-ending frame stands: it starts at the first slice packet
// and goes on with every packet after it.
struct EndlessFrame {
  bool started = false;
  std::uint32_t timestamp = 0;
};

// Turns one H.264 RTP packet into an FU-A fragment of one frame that never
// ends: no end bit, no marker, the first fragment's timestamp. Parameter
// sets before the first slice pass as they are. False: pass `packet` as it
// is (`out` unchanged).
bool EndlessFragment(std::string_view packet, EndlessFrame* frame, std::string* out);

// Adds `shift` to the RTP timestamp of `packet` in place; false for a
// packet too short to have one.
bool ShiftRtpTimestamp(std::string* packet, std::uint32_t shift);
// The RTP timestamp of `packet`, 0 for one too short.
std::uint32_t RtpTimestamp(std::string_view packet);

// Adds `shift_ms` (either sign) to the NTP time of every sender report in
// the RTCP compound packet `rtcp`, in place; the number of reports changed.
int ShiftSenderReports(std::string* rtcp, std::int64_t shift_ms);

}  // namespace sim

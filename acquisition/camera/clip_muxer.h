#pragma once
// ClipMuxer: one alarm clip being written, frames copied as they are stored
// (never encoded again) into a QuickTime-family file by libavformat's mov
// muxer: H.264 and H.265 into MP4, JPEG frames into MOV (Photo-JPEG). The
// index (moov) is moved to the front when the clip is finished, so a clip
// plays while it downloads.
//
// The file is created new under the name it is given (never through a link,
// never over an existing file); Finish writes the index, Abort removes the
// file. One thread uses a ClipMuxer from Open to Finish or Abort.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace acquisition {

struct ClipFormat {
  int codec_id = 0;  // FFmpeg's AVCodecID: H.264, H.265 or MJPEG
  std::vector<std::uint8_t> extradata;  // the parameter sets of a compressed stream
  int width = 0;
  int height = 0;
  std::int64_t creation_wall_ms = 0;  // the wall clock of the first frame
};

struct VideoCodec;

// The format of a clip whose first frame is `first` (`size` bytes): a
// camera's compressed frames with `codec`'s parameters (those at the front
// of the key frame when the stream's description announced none), or JPEG
// frames when `codec` is null.
ClipFormat ClipFormatOf(const VideoCodec* codec, const std::uint8_t* first, int size,
                        std::int64_t wall_ms);

class ClipMuxer {
 public:
  ClipMuxer();
  ~ClipMuxer();
  ClipMuxer(const ClipMuxer&) = delete;
  ClipMuxer& operator=(const ClipMuxer&) = delete;

  // Creates `path` (O_EXCL, O_NOFOLLOW) and writes the clip's header.
  platform::Status Open(const std::string& path, const ClipFormat& format);
  // One frame as stored: `pts_us` its capture moment from the clip's start,
  // `dts_us` its decoding moment (equal unless B-frames reorder pictures).
  platform::Status Write(const std::uint8_t* data, int size, std::int64_t pts_us,
                         std::int64_t dts_us, bool key);
  // Writes the index at the front and closes the file.
  platform::Status Finish();
  // Closes and removes the file.
  void Abort();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace acquisition

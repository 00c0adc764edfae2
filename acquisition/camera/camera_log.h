#pragma once
// CameraLog: one camera's log, "./LOG/Ocelam_<n>_<year><day><month>.log",
// with each line also sent to the interface record as "(<stream name>):
// text". Its number and stream name are set by the loader before the
// camera's threads start; from then on any thread may write a line (the
// daily log and the interface record take whole lines from several threads).
#include <string>
#include <string_view>

#include "core/report.h"

namespace acquisition {

class CameraLog {
 public:
  void SetCameraNumber(int number) { camera_number_ = number; }
  void SetStreamName(std::string name) { stream_name_ = std::move(name); }
  int camera_number() const { return camera_number_; }
  const std::string& stream_name() const { return stream_name_; }

  void Log(std::string_view text, core::ReportLevel level) const;

 private:
  int camera_number_ = 0;
  std::string stream_name_;
};

}  // namespace acquisition

#include "acquisition/camera/camera_log.h"

#include <cstdio>

#include "core/daily_log.h"

namespace acquisition {

namespace {
constexpr const char* kCameraLogFormat = "./LOG/Ocelam_%d_%04d%02d%02d.log";
constexpr const char* kNoInterface =
    "Houston, the problem is that myInterface is undefined and therefore we cannot write to the "
    "InterfaceMonitor.\n";
constexpr std::size_t kInterfaceLineMax = 1023;
}  // namespace

void CameraLog::Log(std::string_view text, core::ReportLevel level) const {
  // Year, day of month, month: the order operators know these names by.
  core::AppendDailyLog(kCameraLogFormat, camera_number_, text);
  if (!core::ReportSinkAttached()) {
    std::fputs(kNoInterface, stdout);
    return;
  }
  std::string line = "(" + stream_name_ + "): " + std::string(text);
  if (line.size() > kInterfaceLineMax) line.resize(kInterfaceLineMax);
  core::ReportToInterface(line, level);
}

}  // namespace acquisition

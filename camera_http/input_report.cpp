#include "camera_http/input_report.h"

#include "core/log_text.h"

namespace camera_http {

namespace {
std::string Shown(std::string_view text) {
  std::string shown = core::PrintableText(text.substr(0, InputReport::kLineMax));
  if (shown.size() > InputReport::kLineMax) shown.resize(InputReport::kLineMax);
  return shown;
}
}  // namespace

void InputReport::SetClock(platform::Clock* clock) {
  platform::MutexLock guard(lock_);
  clock_ = clock;
}

std::int64_t InputReport::WallMs() const { return clock_ ? clock_->WallMillis() : 0; }

void InputReport::Connected(bool up) {
  platform::MutexLock guard(lock_);
  connected_ = up;
}

InputReport::Source* InputReport::Box(std::string_view iobox) {
  if (iobox.empty()) return nullptr;
  const std::string shown = Shown(iobox);
  for (Source& box : boxes_)
    if (box.iobox == shown) return &box;
  if (boxes_.size() >= kBoxesMax) return nullptr;
  Source& box = boxes_.emplace_back();
  box.iobox = shown;
  return &box;
}

void InputReport::Line(std::string_view iobox, std::string_view line) {
  std::string shown = Shown(line);
  platform::MutexLock guard(lock_);
  const std::int64_t now = WallMs();
  if (Source* box = Box(iobox)) {
    box->last_line = shown;
    box->last_line_wall_ms = now;
  }
  server_.last_line = std::move(shown);
  server_.last_line_wall_ms = now;
}

void InputReport::AlarmStarted(std::string_view iobox) {
  platform::MutexLock guard(lock_);
  const std::int64_t now = WallMs();
  if (Source* box = Box(iobox)) box->last_alarm_wall_ms = now;
  server_.last_alarm_wall_ms = now;
}

InputReport::View InputReport::Read() const {
  platform::MutexLock guard(lock_);
  return View{clock_ != nullptr, connected_, server_, boxes_};
}

}  // namespace camera_http

#pragma once
// Catches the lines sent through ReportToInterface while it lives, so tests
// can check the error lines of the table layer.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/report.h"

namespace testing_support {

class ReportCapture {
 public:
  ReportCapture() { core::SetReportSink(this, &ReportCapture::Sink); }
  ~ReportCapture() { core::SetReportSink(nullptr, nullptr); }
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  // Lines and levels caught so far; clears the list.
  std::vector<std::pair<std::string, core::ReportLevel>> Take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(lines_, {});
  }

 private:
  static void Sink(void* record, char* text, core::ReportLevel level) {
    auto* self = static_cast<ReportCapture*>(record);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->lines_.emplace_back(text, level);
  }

  std::mutex lock_;
  std::vector<std::pair<std::string, core::ReportLevel>> lines_;
};

}  // namespace testing_support

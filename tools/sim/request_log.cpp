#include "request_log.h"

#include <cerrno>
#include <cstring>

#include "text.h"

namespace sim {

bool RequestSink::Open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  file_.reset(std::fopen(path.c_str(), "ae"));
  if (!file_) {
    *error = "request log " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void RequestSink::Write(const std::string& line) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!file_) return;
  // A full disk loses lines of the file only; the control port keeps them.
  std::fwrite(line.data(), 1, line.size(), file_.get());
  std::fflush(file_.get());
}

std::uint64_t RequestLog::Add(std::uint64_t connection, std::int64_t time_us, std::string action,
                              std::string bytes) {
  std::string line;
  std::uint64_t number;
  {
    std::lock_guard<std::mutex> lock(mu_);
    number = next_++;
    kept_.push_back(
        RecordedRequest{number, connection, time_us, std::move(action), std::move(bytes)});
    kept_bytes_ += kept_.back().bytes.size();
    while (kept_.size() > kMaxKeptRequests ||
           (kept_.size() > 1 && kept_bytes_ > kMaxKeptRequestBytes)) {
      kept_bytes_ -= kept_.front().bytes.size();
      kept_.pop_front();
    }
    if (sink_) line = Line(kept_.back());
  }
  if (sink_) sink_->Write(line);
  return number;
}

std::string RequestLog::Lines(std::uint64_t from, std::uint64_t* next) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  for (const RecordedRequest& r : kept_)
    if (r.number >= from) out += Line(r);
  *next = next_;
  return out;
}

std::string RequestLog::Line(const RecordedRequest& r) const {
  return "request " + std::string(kind_) + " " + std::to_string(id_) +
         " n=" + std::to_string(r.number) + " conn=" + std::to_string(r.connection) +
         " t=" + std::to_string(r.time_us) + " action=" + r.action +
         " len=" + std::to_string(r.bytes.size()) + " data=" + Escape(r.bytes) + "\n";
}

}  // namespace sim

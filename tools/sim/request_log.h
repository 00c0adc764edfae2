#pragma once
// What the devices received: every request with its bytes, the time its
// last byte came and the connection it came on, kept for the control port's
// "requests" command and, with --request-log, appended to a file.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

// A device keeps at most this many requests and this many bytes of them;
// the oldest go first (their numbers are not reused).
inline constexpr std::size_t kMaxKeptRequests = 100000;
inline constexpr std::size_t kMaxKeptRequestBytes = 16 * 1024 * 1024;

struct RecordedRequest {
  std::uint64_t number = 0;      // 1, 2, ... per device
  std::uint64_t connection = 0;  // 1, 2, ... per device, in the order accepted
  std::int64_t time_us = 0;      // CLOCK_REALTIME when the last byte came
  std::string action;            // what the device did with it
  std::string bytes;             // exactly as received
};

// The --request-log file; lines of all devices, each written whole.
class RequestSink {
 public:
  bool Open(const std::string& path, std::string* error);
  void Write(const std::string& line);

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::mutex mu_;
  std::unique_ptr<std::FILE, Closer> file_;  // guarded by mu_
};

class RequestLog {
 public:
  // `sink` may be null; it must outlive the log.
  RequestLog(const char* kind, int id, RequestSink* sink) : kind_(kind), id_(id), sink_(sink) {}

  // Keeps one request (and writes its line to the sink); returns its number.
  std::uint64_t Add(std::uint64_t connection, std::int64_t time_us, std::string action,
                    std::string bytes);
  // The lines of the kept requests numbered `from` or later, one per
  // request; `*next` gets the number the next request will have.
  std::string Lines(std::uint64_t from, std::uint64_t* next) const;

  // "request KIND ID n=N conn=C t=US action=A len=L data=ESCAPED".
  std::string Line(const RecordedRequest& r) const;

 private:
  const char* const kind_;
  const int id_;
  RequestSink* const sink_;
  mutable std::mutex mu_;
  std::deque<RecordedRequest> kept_;  // guarded by mu_
  std::size_t kept_bytes_ = 0;        // guarded by mu_
  std::uint64_t next_ = 1;            // guarded by mu_
};

}  // namespace sim

#pragma once
// OperatorApi: the operator's page on the status port and what it reads.
// "/", "/page.js" and "/page.css" are the page (status/page/, built into the
// program); "/api/cameras", "/api/jobs", "/api/inputs" and "/api/log" answer
// JSON (nlohmann's library); "/jobs/<id>/cameras/<n>/images/<k>.jpg" and
// "/jobs/<id>/cameras/<n>/clip" serve the files a remembered job wrote,
// looked up by index in the job history, never by a path a client gives.
// Every route only reads: none changes or starts anything.
//
// Threads: the status port's workers call every member at once; it keeps
// nothing of its own between calls. What it reads guards itself (the
// cameras' reports and counters, the job history's lock, the inputs'
// reports' locks); the daily log's tail is read from its file.
#include <cstdint>
#include <string>

#include "status/status_server.h"

namespace httplib {
class Server;
struct Response;
}  // namespace httplib

namespace status {

// Largest job image and clip file served (each is read whole into memory:
// 4 workers hold at most 4 of them at once).
inline constexpr std::int64_t kJobImageBytesMax = 16 * 1024 * 1024;
inline constexpr std::int64_t kJobClipBytesMax = 64 * 1024 * 1024;
// Lines of the daily log "/api/log" shows.
inline constexpr std::size_t kLogLinesShown = 100;

class OperatorApi {
 public:
  // `sources` and everything it names outlive the object.
  explicit OperatorApi(const StatusSources& sources) : sources_(sources) {}
  OperatorApi(const OperatorApi&) = delete;
  OperatorApi& operator=(const OperatorApi&) = delete;

  // Adds the page's routes to `server`, which must not outlive the object.
  void Register(httplib::Server& server);

  // The bodies of "/api/cameras", "/api/jobs", "/api/inputs", "/api/log".
  std::string CamerasJson() const;
  std::string JobsJson() const;
  std::string InputsJson() const;
  std::string LogJson() const;

  // A job's image `k`, or with `clip` its clip, as the answer: 400 for an
  // id, camera or index that is no number or too big, 404 when the job,
  // camera, file or a regular file within the size bound is not there.
  void ServeJobFile(const std::string& id, const std::string& camera, const std::string& k,
                    bool clip, httplib::Response& res) const;

 private:
  const StatusSources& sources_;
};

}  // namespace status

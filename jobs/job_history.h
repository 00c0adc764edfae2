#pragma once
// JobHistory: the last kJobsKept jobs as the operator's page shows them: an
// id of their own (counting from 1 for the process's life, as job slots are
// reused), the alarm reference and wall moment, the outcome, and per camera
// row the images saved and failed, the paths of the image files written (the
// first kImagesKept, in the order written) and the clip's path. The status
// port serves those files by id, camera and index, so a client never names
// a path.
//
// Threads: job threads call Begin and End, image-copy threads ImageSaved,
// ImageFailed and ClipSaved; the status port's workers read. Locks: `lock_`
// guards the records; it is a leaf (no line is written under it).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/mutex.h"

namespace jobs {

class JobHistory {
 public:
  static constexpr std::size_t kJobsKept = 50;
  static constexpr std::size_t kImagesKept = 100;  // paths kept per camera row

  enum class Outcome { kRunning, kDone, kError };

  struct Camera {
    int row = 0;  // the job file's "Camera<row>"
    int number = 0;
    std::string reference = "";
    int saved = 0;
    int failed = 0;
    std::vector<std::string> images = {};  // paths, in the order written
    std::string clip = "";                 // "" when none was saved
  };
  struct Job {
    std::uint64_t id = 0;
    std::string alarm_reference;
    std::int64_t alarm_wall_ms = 0;
    Outcome outcome = Outcome::kRunning;
    std::vector<Camera> cameras;
  };

  // A job starts with its camera rows (row, number and reference set): its id.
  std::uint64_t Begin(std::string alarm_reference, std::int64_t alarm_wall_ms,
                      std::vector<Camera> cameras);
  // What a job's row did; a job the history does not hold is left alone.
  void ImageSaved(std::uint64_t id, int row, const std::string& path);
  void ImageFailed(std::uint64_t id, int row);
  void ClipSaved(std::uint64_t id, int row, const std::string& path);
  void End(std::uint64_t id, bool success);

  // The jobs kept, newest first; with `with_paths` false the paths are left
  // out, each `images` holding as many empty strings (cheap to copy).
  std::vector<Job> Newest(bool with_paths) const;
  // The path of image `k` of camera `number` of job `id` (its first row of
  // that camera), or of its clip with `k` -1; "" when there is none.
  std::string FilePath(std::uint64_t id, int number, long long k) const;

 private:
  Camera* Row(std::uint64_t id, int row) REQUIRES(lock_);

  mutable platform::Mutex lock_;
  std::deque<Job> jobs_ GUARDED_BY(lock_);  // oldest first
  std::uint64_t next_id_ GUARDED_BY(lock_) = 1;
};

}  // namespace jobs

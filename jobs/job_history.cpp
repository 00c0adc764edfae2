#include "jobs/job_history.h"

namespace jobs {

std::uint64_t JobHistory::Begin(std::string alarm_reference, std::int64_t alarm_wall_ms,
                                std::vector<Camera> cameras) {
  platform::MutexLock guard(lock_);
  if (jobs_.size() >= kJobsKept) jobs_.pop_front();
  const std::uint64_t id = next_id_++;
  jobs_.push_back(Job{id, std::move(alarm_reference), alarm_wall_ms, Outcome::kRunning,
                      std::move(cameras)});
  return id;
}

JobHistory::Camera* JobHistory::Row(std::uint64_t id, int row) {
  for (Job& job : jobs_) {
    if (job.id != id) continue;
    for (Camera& camera : job.cameras)
      if (camera.row == row) return &camera;
    return nullptr;
  }
  return nullptr;
}

void JobHistory::ImageSaved(std::uint64_t id, int row, const std::string& path) {
  platform::MutexLock guard(lock_);
  if (Camera* camera = Row(id, row)) {
    ++camera->saved;
    if (camera->images.size() < kImagesKept) camera->images.push_back(path);
  }
}

void JobHistory::ImageFailed(std::uint64_t id, int row) {
  platform::MutexLock guard(lock_);
  if (Camera* camera = Row(id, row)) ++camera->failed;
}

void JobHistory::ClipSaved(std::uint64_t id, int row, const std::string& path) {
  platform::MutexLock guard(lock_);
  if (Camera* camera = Row(id, row)) camera->clip = path;
}

void JobHistory::End(std::uint64_t id, bool success) {
  platform::MutexLock guard(lock_);
  for (Job& job : jobs_)
    if (job.id == id) job.outcome = success ? Outcome::kDone : Outcome::kError;
}

std::vector<JobHistory::Job> JobHistory::Newest(bool with_paths) const {
  std::vector<Job> out;
  platform::MutexLock guard(lock_);
  out.reserve(jobs_.size());
  for (auto job = jobs_.rbegin(); job != jobs_.rend(); ++job) {
    if (with_paths) {
      out.push_back(*job);
      continue;
    }
    Job& copy = out.emplace_back(Job{job->id, job->alarm_reference, job->alarm_wall_ms,
                                     job->outcome, {}});
    copy.cameras.reserve(job->cameras.size());
    for (const Camera& camera : job->cameras)
      copy.cameras.push_back(Camera{camera.row, camera.number, camera.reference, camera.saved,
                                    camera.failed,
                                    std::vector<std::string>(camera.images.size()),
                                    camera.clip.empty() ? std::string() : std::string("clip")});
  }
  return out;
}

std::string JobHistory::FilePath(std::uint64_t id, int number, long long k) const {
  platform::MutexLock guard(lock_);
  for (const Job& job : jobs_) {
    if (job.id != id) continue;
    for (const Camera& camera : job.cameras) {
      if (camera.number != number) continue;
      if (k < 0) return camera.clip;
      return static_cast<std::size_t>(k) < camera.images.size()
                 ? camera.images[static_cast<std::size_t>(k)]
                 : std::string();
    }
    return {};
  }
  return {};
}

}  // namespace jobs

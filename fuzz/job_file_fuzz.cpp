// Feeds arbitrary bytes to the job file reader and checks that whatever it
// accepts stays inside the limits the job threads rely on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "jobs/job_watcher.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every refused value is said on the console; the fuzzer speaks on stderr.
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/ocelam_job_file_fuzz_" + std::to_string(getpid()) + ".job";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  jobs::Job job;
  jobs::ReadJobFile(path, &job);
  if (job.refused) return 0;
  if (job.alarm_reference.empty() || job.alarm_reference.size() > jobs::kAlarmRefMax ||
      !jobs::AlarmReferenceIsSafe(job.alarm_reference))
    std::abort();
  if (job.number_of_cameras < 0 || job.number_of_cameras > jobs::kMaxJobCameras) std::abort();
  for (int i = 1; i <= job.number_of_cameras; ++i) {
    const jobs::JobCamera& c = job.cameras[static_cast<std::size_t>(i)];
    if (c.number_of_commands < 0 || c.number_of_commands > jobs::kMaxCommandsPerCamera)
      std::abort();
    if (!(c.interval >= jobs::kMinIntervalSeconds && c.interval <= jobs::kMaxIntervalSeconds))
      std::abort();
    if (!c.refused && (c.duration < 0 || c.duration > jobs::kMaxJobSeconds ||
                       c.pre_record_time < 0 || c.pre_record_time > jobs::kMaxJobSeconds))
      std::abort();
  }
  return 0;
}

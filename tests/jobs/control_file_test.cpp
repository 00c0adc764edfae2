// The image copy's sums, and the streaming servers' control files: names,
// content, and never a shared name.
#include <gtest/gtest.h>

#include <cstdio>

#include "jobs/image_copy.h"
#include "support/jobs_fixture.h"

namespace {

using namespace jobs_test;
using namespace testing_support;

// How many images a copy takes, and how long an on-demand camera streams for
// them (all its images are live).
TEST(ImageCopy, ImageCountAndStreamingLength) {
  const struct {
    int duration, pre_record_time;
    float interval;
    int images, seconds;
  } rows[] = {
      // clang-format off
      {9, 0, 0.3f, 30, 29},  // 9 / 0.3f in floating point is 29.99999...
      {7, 0, 0.7f, 10, 27},  // and 7 / 0.7f is 10.0000002
      {10, 5, 1, 15, 35},
      {30, 30, 1, 60, 80},  // on demand: every image live
      {1, 0, 3, 0, 21},
      {0, 40, 0.1f, 1, 20},  // one image
      // clang-format on
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.duration * 1000 + r.pre_record_time);
    EXPECT_EQ(jobs::ImageCopyCount(r.duration, r.pre_record_time, r.interval), r.images);
    EXPECT_EQ(jobs::ImageCopyStreamingSeconds(r.duration, r.pre_record_time), r.seconds);
  }
}

TEST_F(JobsTest, ControlFilesInEveryServerPathNeverShareAName) {
  const std::vector<std::string> servers = {Path("s1"), Path("s2")};
  for (const char* d : {"s1", "s2"}) mkdir(Path(d).c_str(), 0755);
  char base[16];
  std::snprintf(base, sizeof base, "%x", static_cast<unsigned>(clock_.WallSeconds()));
  const std::string b = base;
  // A ".tmp" its writer has not yet renamed keeps its name.
  WriteFile(Path("s1/") + b + "_1.tmp", "");
  jobs::WriteStreamControlFile(clock_, servers, jobs::kActionStart, "/d/m", "A1");
  jobs::WriteStreamControlFile(clock_, servers, jobs::kActionStop, "/d/m", "A1");
  jobs::WriteStreamControlFile(clock_, servers, jobs::kActionStop, "/d/m", "A1");
  EXPECT_EQ(Names("s1"),
            (std::vector<std::string>{b + "_0.job", b + "_1.tmp", b + "_2.job", b + "_3.job"}));
  EXPECT_EQ(Names("s2"), (std::vector<std::string>{b + "_0.job", b + "_1.job", b + "_2.job"}));
  EXPECT_EQ(ReadFile(Path("s2/") + b + "_0.job"),
            "[Stream]\nDirectory=/d/m\nAlarmRef=A1\nAction=Start\n");
  EXPECT_EQ(ReadFile(Path("s1/") + b + "_3.job"),
            "[Stream]\nDirectory=/d/m\nAlarmRef=A1\nAction=Stop\n");
}

}  // namespace

// The streaming servers' control files: names, content, and never a shared name.
#include <gtest/gtest.h>

#include <cstdio>

#include "jobs/image_copy.h"
#include "support/jobs_fixture.h"

namespace {

using namespace jobs_test;
using namespace testing_support;

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

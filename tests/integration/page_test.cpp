// The operator's page in a real browser (headless Chromium through
// chromedriver, driven by tests/integration/page_check.py) against a gateway
// streaming from simulated cameras.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/jobs_world.h"

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr int kStallSeconds = 5;

bool BrowserThere() {
  if (access("/usr/bin/chromium", X_OK) != 0 || access("/usr/bin/chromedriver", X_OK) != 0)
    return false;
  testing_support::TempDir dir;
  testing_support::Child probe({kPython, "-c", "import selenium"}, dir.path(), {},
                               dir / "probe.out");
  return probe.WaitExit(60) && probe.exit_code() == 0;
}

TEST(OperatorPage, ShowsCamerasTheirPicturesAJobAndACameraGoingDown) {
  if (!BrowserThere()) GTEST_SKIP() << "no Chromium, chromedriver or Python selenium";
  const int port = testing_support::FreeLoopbackPort();
  const std::string stall = "StreamStallTimeout=" + std::to_string(kStallSeconds) + "\n";
  jobs_world::JobsWorld world(
      {"--camera", "id=1,fps=5", "--camera", "id=2,fps=5", "--camera", "id=3,fps=5"},
      {{1, "<b>Gate<b>", 1, true, stall}, {2, "Yard", 2, true, stall}, {3, "Hall", 3, true, stall}},
      "StatusPort=" + std::to_string(port));
  ASSERT_TRUE(world.Started()) << world.Output();
  const std::string shot = world.Root() + "/operator-page.png";
  testing_support::Child check(
      {kPython, OCELAM_SOURCE_DIR "/tests/integration/page_check.py", "--port",
       std::to_string(port), "--sim-control", std::to_string(world.sim().control_port()),
       "--stopped-camera", "2", "--stall", std::to_string(kStallSeconds), "--drop",
       world.Root() + "/drop", "--watch", world.Data("watch"), "--screenshot", shot},
      world.Root(), {}, world.Root() + "/page_check.out");
  ASSERT_TRUE(check.WaitExit(400));
  EXPECT_EQ(check.exit_code(), 0) << testing_support::ReadFile(world.Root() + "/page_check.out")
                                  << world.Output();
  // OCELAM_PAGE_SCREENSHOT=<file> keeps the page's picture (docs/operator-page.png).
  if (const char* keep = getenv("OCELAM_PAGE_SCREENSHOT"); keep && check.exit_code() == 0)
    std::filesystem::copy_file(shot, keep, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace

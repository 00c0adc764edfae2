#include "core/text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/sandbox.h"

using testing_support::FileExists;
using testing_support::TempDir;

namespace {

TEST(CreateDirectoryPath, CreatesEveryMissingLevel) {
  TempDir dir;
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  // Rooted, with either separator, and relative to the working directory.
  EXPECT_TRUE(core::CreateDirectoryPath(dir.path() + "\\a\\b"));
  EXPECT_TRUE(FileExists(dir / "a/b"));
  EXPECT_TRUE(core::CreateDirectoryPath("rel\\x/y"));
  EXPECT_TRUE(FileExists(dir / "rel/x/y"));
  EXPECT_TRUE(core::CreateDirectoryPath(dir.path() + "/a/b"));        // already there
  EXPECT_TRUE(core::CreateDirectoryPath("C:" + dir.path() + "\\d"));  // drive letter dropped
  EXPECT_TRUE(FileExists(dir / "d"));
  // A failure names the level that failed, for its caller to report.
  testing_support::WriteFile(dir / "file", "x");
  EXPECT_EQ(core::CreateDirectoryPath(dir.path() + "/file/sub").reason(),
            "ERROR: create directory " + dir.path() + "/file/sub failed (error 20)");
}

TEST(ReplacePlaceholder, FirstOccurrenceOnly) {
  std::string text = "/cgi?out=%PIN%&again=%PIN%";
  EXPECT_EQ(core::ReplacePlaceholder(text, "%PIN%", "3"), 22);
  EXPECT_EQ(text, "/cgi?out=3&again=%PIN%");
  std::string unchanged = "no marker";
  EXPECT_EQ(core::ReplacePlaceholder(unchanged, "%PIN%", "3"), 0);
  EXPECT_EQ(unchanged, "no marker");
  // The part after the placeholder is cut at 255 characters.
  std::string longer = "%X%" + std::string(300, 'a');
  core::ReplacePlaceholder(longer, "%X%", "b");
  EXPECT_EQ(longer, "b" + std::string(255, 'a'));
  // A C buffer never overflows.
  char small[8] = "ab%X%cd";
  EXPECT_EQ(core::ReplacePlaceholder(small, sizeof small, "%X%", "123456789"), 7);
  EXPECT_STREQ(small, "ab12345");
}

TEST(UnescapeCrLf, TurnsEscapesIntoLineEnds) {
  const char src[] = "\\r\\nx\\t\\";
  char dst[16] = {};
  std::size_t n = core::UnescapeCrLf(dst, src, sizeof src - 1);
  EXPECT_EQ(std::string(dst, n), "\r\nx\\t\\");
}

}  // namespace

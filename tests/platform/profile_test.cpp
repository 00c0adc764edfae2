#include "platform/profile.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

#include "support/sandbox.h"

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

// A file written by hand, the way operators and older tools leave them.
const char* kHandWritten =
    "; comment at the top\r\n"
    "stray line before any section\r\n"
    "[ Config ]\r\n"
    "  NumberOfIPCams =  3  \r\n"
    "Quoted=\"  with blanks  \"\r\n"
    "Single='x'\r\n"
    "HalfQuoted=\"abc\r\n"
    "Empty=\r\n"
    "just a plain line\r\n"
    "\tTabbed\t=\tvalue\t\x1a\r\n"
    "numberofipcams=99\r\n"
    "[config]\r\n"
    "Later=hidden by the first section\r\n"
    "[Other]]\r\n"
    "a=b=c\r\n";

TEST(ProfileRead, HandWrittenFileFollowsWindowsRules) {
  TempDir dir;
  std::string path = dir / "x.ini";
  WriteFile(path, kHandWritten);
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  } cases[] = {
      {"config", "NUMBEROFIPCAMS", "3"},          // case and blanks; first key wins
      {"Config", "Quoted", "  with blanks  "},    // one pair of quotes removed, inside kept
      {"Config", "Single", "x"},
      {"Config", "HalfQuoted", "\"abc"},          // unmatched quote stays
      {"Config", "Empty", ""},
      {"Config", "Tabbed", "value"},              // tabs and 0x1A are blanks
      {"Config", "Later", "<default>"},           // only the first matching section counts
      {"Config", "just a plain line", "<default>"},
      {"Other]", "a", "b=c"},                     // header ends at the last ']'; value runs past '='
      {"Other", "a", "<default>"},
      {"Missing", "a", "<default>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::ProfileGetString(path, c.section, c.key, "<default>"), c.expected)
        << c.section << "/" << c.key;
  }
  EXPECT_EQ(platform::ProfileGetString(dir / "absent.ini", "a", "b", "  trailing  "), "trailing");
}

TEST(ProfileRead, LineEndsAndBufferLimits) {
  TempDir dir;
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    std::string path = dir / "e.ini";
    WriteFile(path, std::string("[S]") + eol + "k=v1" + eol + "j=v2");
    EXPECT_EQ(platform::ProfileGetString(path, "S", "k", ""), "v1");
    EXPECT_EQ(platform::ProfileGetString(path, "S", "j", ""), "v2");
  }
  std::string path = dir / "b.ini";
  WriteFile(path, "[S]\nk=abcdef\n");
  char buf[4];
  EXPECT_EQ(platform::ProfileGetString(path, "S", "k", "", buf, sizeof buf), 3u);
  EXPECT_STREQ(buf, "abc");
}

TEST(ProfileRead, Integers) {
  TempDir dir;
  std::string path = dir / "i.ini";
  WriteFile(path,
            "[S]\nplain=42\nsuffix=42A9\nprefix=B42\nempty=\nneg=  -17\nplus=+5\n"
            "huge=99999999999999999999\nhugeneg=-99999999999999999999\nsign=-\n");
  struct Case {
    const char* key;
    int expected;
  } cases[] = {{"plain", 42},      {"suffix", 42},       {"prefix", 0},
               {"empty", -9},      {"neg", -17},         {"plus", 5},
               {"huge", INT_MAX},  {"hugeneg", INT_MIN}, {"sign", 0},
               {"missing", -9}};
  for (const Case& c : cases)
    EXPECT_EQ(platform::ProfileGetInt(path, "S", c.key, -9), c.expected) << c.key;
}

TEST(ProfileWrite, KeepsEveryOtherLineInPlace) {
  TempDir dir;
  std::string path = dir / "w.ini";
  WriteFile(path, "; top\n[A]\nk1=1\n\nplain line\n[B]\nx=1\n\n; tail\n");
  ASSERT_TRUE(platform::ProfileWriteString(path, "a", "K1", "2"));  // replace in place
  ASSERT_TRUE(platform::ProfileWriteString(path, "A", "k2", " two "));  // new key, trimmed
  ASSERT_TRUE(platform::ProfileWriteString(path, "C", "y", "3"));   // new section at the end
  ASSERT_TRUE(platform::ProfileWriteString(path, "B", "x", nullptr));  // delete
  EXPECT_EQ(ReadFile(path),
            "; top\n[A]\nK1=2\n\nplain line\nk2=two\n[B]\n\n; tail\n[C]\ny=3\n");
}

TEST(ProfileWrite, CreatesFilesAndKeepsCrLf) {
  TempDir dir;
  std::string fresh = dir / "new.ini";
  ASSERT_TRUE(platform::ProfileWriteString(fresh, "S", "k", "v"));
  EXPECT_EQ(ReadFile(fresh), "[S]\nk=v\n");
  EXPECT_FALSE(platform::ProfileWriteString(dir / "none.ini", "", "k", "v"));
  EXPECT_FALSE(testing_support::FileExists(dir / "none.ini"));
  EXPECT_TRUE(platform::ProfileWriteString(dir / "gone.ini", "S", "k", nullptr));
  EXPECT_FALSE(testing_support::FileExists(dir / "gone.ini"));

  std::string crlf = dir / "crlf.ini";
  WriteFile(crlf, "[S]\r\nk=v\r\n");
  ASSERT_TRUE(platform::ProfileWriteString(crlf, "S", "j", "w"));
  EXPECT_EQ(ReadFile(crlf), "[S]\r\nk=v\r\nj=w\r\n");
  ASSERT_TRUE(platform::ProfileWriteString(crlf, "S", "k", nullptr));
  ASSERT_TRUE(platform::ProfileWriteString(crlf, "S", "j", nullptr));
  EXPECT_EQ(ReadFile(crlf), "[S]\r\n");  // the header stays
}

TEST(ProfileWrite, PlainLinesAndKeysShareOneFile) {
  TempDir dir;
  std::string path = dir / "m.log";
  ASSERT_TRUE(platform::ProfileAppendLine(path, "12:00:00 first"));
  ASSERT_TRUE(platform::ProfileWriteString(path, "Camera1", "FileSuccess", "3"));
  ASSERT_TRUE(platform::ProfileAppendLine(path, "12:00:01 second"));
  ASSERT_TRUE(platform::ProfileWriteString(path, "Camera1", "FileError", "0"));
  EXPECT_EQ(platform::ProfileGetInt(path, "Camera1", "FileSuccess", -1), 3);
  std::string content = ReadFile(path);
  EXPECT_LT(content.find("first"), content.find("second"));
}

TEST(ProfileWrite, ManyThreadsLoseNoKey) {
  TempDir dir;
  std::string path = dir / "t.ini";
  constexpr int kThreads = 8, kKeys = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kKeys; ++k) {
        std::string key = "k" + std::to_string(t) + "_" + std::to_string(k);
        platform::ProfileWriteString(path, "S" + std::to_string(k % 3), key,
                                     std::to_string(t * 1000 + k).c_str());
        if (k % 10 == 0) platform::ProfileAppendLine(path, "line " + key);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int k = 0; k < kKeys; ++k)
      EXPECT_EQ(platform::ProfileGetInt(path, "S" + std::to_string(k % 3),
                                        "k" + std::to_string(t) + "_" + std::to_string(k), -1),
                t * 1000 + k);
  std::string content = ReadFile(path);
  EXPECT_NE(content.find("line k7_30"), std::string::npos);
}

TEST(ProfileLock, EntriesGoWithTheirLastUser) {
  TempDir dir;
  ASSERT_EQ(platform::ProfileLockEntriesForTest(), 0u);
  for (int i = 0; i < 300; ++i) {
    std::string path = dir / ("job" + std::to_string(i) + ".ini");
    const platform::ProfileLock outer = platform::LockProfile(path);
    // The same thread takes it again, as the profile calls inside a step do.
    ASSERT_TRUE(platform::ProfileWriteString(path, "Alarm", "AlarmRef", "A1"));
    ASSERT_TRUE(platform::ProfileAppendLine(path, "line"));
    EXPECT_EQ(platform::ProfileLockEntriesForTest(), 1u);
  }
  EXPECT_EQ(platform::ProfileLockEntriesForTest(), 0u);
}

TEST(ProfileRead, GarbageGivesDefaultsAndStaysWritable) {
  TempDir dir;
  std::string path = dir / "g.ini";
  std::string garbage;
  for (int i = 0; i < 70000; ++i) garbage += static_cast<char>((i * 7919) & 0xff);
  garbage += "\n[S]\nk=" + std::string(100000, 'x') + "\n";
  WriteFile(path, garbage);
  EXPECT_EQ(platform::ProfileGetString(path, "S", "k", "").size(), 100000u);
  EXPECT_EQ(platform::ProfileGetInt(path, "Config", "Missing", 7), 7);
  ASSERT_TRUE(platform::ProfileWriteString(path, "S", "k", "short"));
  EXPECT_EQ(platform::ProfileGetString(path, "S", "k", ""), "short");
}

}  // namespace

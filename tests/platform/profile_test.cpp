#include "platform/profile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/held_temporary.h"
#include "platform/unique_fd.h"
#include "support/sandbox.h"

using testing_support::FileExists;
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
  // Section/key pairs, each read with the default "-".
  std::istringstream asked(
      "config/NUMBEROFIPCAMS|Config/Quoted|Config/Single|Config/HalfQuoted|Config/Empty|"
      "Config/Tabbed|Config/Later|Config/just a plain line|Other]/a|Other/a|Missing/a");
  std::string got;
  for (std::string a; std::getline(asked, a, '|');) {
    std::size_t slash = a.find('/');
    got +=
        "<" + platform::ProfileGetString(path, a.substr(0, slash), a.substr(slash + 1), "-") + ">";
  }
  // Case and blanks are ignored and the first key wins; one pair of quotes
  // goes, the blanks inside stay; an unmatched quote stays; tabs and 0x1A
  // are blanks; only the first matching section counts; a header ends at
  // its last ']'; a value runs past '='.
  EXPECT_EQ(got, "<3><  with blanks  ><x><\"abc><><value><-><-><b=c><-><->");
  EXPECT_EQ(platform::ProfileGetString(dir / "absent.ini", "a", "b", "  trailing  "), "trailing");

  WriteFile(path,
            "[S]\nplain=42\nsuffix=42A9\nprefix=B42\nempty=\nneg=  -17\nplus=+5\n"
            "huge=99999999999999999999\nhugeneg=-99999999999999999999\nsign=-\n");
  std::string numbers;
  for (const char* key :
       {"plain", "suffix", "prefix", "empty", "neg", "plus", "huge", "hugeneg", "sign", "missing"})
    numbers += std::to_string(platform::ProfileGetInt(path, "S", key, -9)) + " ";
  EXPECT_EQ(numbers, "42 42 0 -9 -17 5 2147483647 -2147483648 0 -9 ");

  // Garbage gives defaults and stays writable.
  std::string garbage;
  for (int i = 0; i < 70000; ++i) garbage += static_cast<char>((i * 7919) & 0xff);
  WriteFile(path, garbage + "\n[S]\nk=" + std::string(100000, 'x') + "\n");
  EXPECT_EQ(platform::ProfileGetString(path, "S", "k", "").size(), 100000u);
  EXPECT_EQ(platform::ProfileGetInt(path, "Config", "Missing", 7), 7);
  ASSERT_TRUE(platform::ProfileWriteString(path, "S", "k", "short"));
  EXPECT_EQ(platform::ProfileGetString(path, "S", "k", ""), "short");
}

// `text` (ASCII) as UTF-16 with its mark.
std::string Utf16(std::string_view text, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : text) {
    out += big_endian ? '\0' : c;
    out += big_endian ? c : '\0';
  }
  return out;
}

// A job file as the alarm server leaves it.
const std::string kJob = "[Alarm]\r\nAlarmRef=A1\r\n[Camera1]\r\nCameraScenario=3";

TEST(ProfileRead, EncodingsAndLineEnds) {
  TempDir dir;
  const std::pair<const char*, std::string> cases[] = {
      {"LF", "[Alarm]\nAlarmRef=A1\n[Camera1]\nCameraScenario=3"},
      {"CR LF", kJob},
      {"CR only", "[Alarm]\rAlarmRef=A1\r[Camera1]\rCameraScenario=3"},
      {"UTF-8 mark", "\xEF\xBB\xBF" + kJob},
      {"UTF-16 LE", Utf16(kJob, false)},
      {"UTF-16 BE", Utf16(kJob, true)},
      {"UTF-16 LE, odd last byte", Utf16(kJob, false) + "\x33"},
  };
  for (const auto& [what, bytes] : cases) {
    std::string path = dir / "job.ini";
    WriteFile(path, bytes);
    EXPECT_EQ(platform::ProfileGetString(path, "Alarm", "AlarmRef", "") +
                  std::to_string(platform::ProfileGetInt(path, "Camera1", "CameraScenario", -1)),
              "A13")
        << what;
  }

  // Characters beyond ASCII come back as UTF-8; a lone surrogate is U+FFFD.
  std::string path = dir / "u.ini";
  static const char kUnits[] = "\xFF\xFE[\0S\0]\0\n\0k\0=\0\xE9\0\x3D\xD8\x00\xDE\x00\xD8!\0";
  WriteFile(path, std::string(kUnits, sizeof kUnits - 1));
  EXPECT_EQ(platform::ProfileGetString(path, "S", "k", ""),
            "\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD!");

  WriteFile(path, "[S]\nk=abcdef\n");
  char buf[4];
  EXPECT_EQ(platform::ProfileGetString(path, "S", "k", "", buf, sizeof buf), 3u);
  EXPECT_STREQ(buf, "abc");
}

TEST(ProfileWrite, KeepsEveryOtherLineInPlace) {
  TempDir dir;
  std::string path = dir / "w.ini";
  WriteFile(path, "; top\n[A]\nk1=1\n\nplain line\n[B]\nx=1\n\n; tail\n");
  ASSERT_TRUE(platform::ProfileWriteString(path, "a", "K1", "2"));      // replace in place
  ASSERT_TRUE(platform::ProfileWriteString(path, "A", "k2", " two "));  // new key, trimmed
  ASSERT_TRUE(platform::ProfileWriteString(path, "C", "y", "3"));       // new section at the end
  ASSERT_TRUE(platform::ProfileWriteString(path, "B", "x", nullptr));   // delete
  // Line ends inside a value add no section and no key of their own.
  ASSERT_TRUE(platform::ProfileWriteString(path, "A", "k3\r\n", "a\r\n[B]\nx=9"));
  EXPECT_EQ(ReadFile(path),
            "; top\n[A]\nK1=2\n\nplain line\nk2=two\nk3=a  [B] x=9\n[B]\n\n; tail\n[C]\ny=3\n");

  std::string fresh = dir / "new.ini";
  ASSERT_TRUE(platform::ProfileWriteString(fresh, "S", "k", "v"));
  EXPECT_EQ(ReadFile(fresh), "[S]\nk=v\n");
  EXPECT_FALSE(platform::ProfileWriteString(dir / "none.ini", "", "k", "v"));
  EXPECT_FALSE(testing_support::FileExists(dir / "none.ini"));
  // Keys that would read back as a section, a comment or another key are
  // refused and the file is left as it was.
  std::string kept = dir / "kept.ini";
  WriteFile(kept, "[S]\na=1\n[T]\nb=2\n");
  for (const char* key : {"[T]", " ;c", "a=b"}) {
    EXPECT_FALSE(platform::ProfileWriteString(kept, "S", key, "v")) << key;
    EXPECT_FALSE(platform::ProfileWriteStrings(kept, {{{"S", key, "v"}}})) << key;
  }
  EXPECT_EQ(ReadFile(kept), "[S]\na=1\n[T]\nb=2\n");
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

TEST(ProfileWrite, RewriteKeepsEncodingLineEndsOwnerAndMode) {
  TempDir dir;
  // What, before, after "Duration=30" is added to [Camera1] and a line appended.
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"UTF-8 mark", "\xEF\xBB\xBF" + kJob, "\xEF\xBB\xBF" + kJob + "\r\nDuration=30\r\nend\n"},
      {"UTF-16 LE", Utf16(kJob, false), Utf16(kJob + "\r\nDuration=30\r\nend\n", false)},
      {"UTF-16 BE", Utf16(kJob, true), Utf16(kJob + "\r\nDuration=30\r\nend\n", true)},
  };
  for (const auto& [what, before, after] : cases) {
    SCOPED_TRACE(what);
    std::string path = dir / "job.ini";
    WriteFile(path, before);
    const bool given = geteuid() == 0 && chown(path.c_str(), 1234, 4321) == 0;  // root only
    ASSERT_EQ(chmod(path.c_str(), 06640), 0);
    ASSERT_TRUE(platform::ProfileWriteString(path, "Camera1", "Duration", "30"));
    ASSERT_TRUE(platform::ProfileAppendLine(path, "end"));
    EXPECT_EQ(ReadFile(path), after);
    EXPECT_EQ(platform::ProfileGetString(path, "Alarm", "AlarmRef", "") +
                  std::to_string(platform::ProfileGetInt(path, "Camera1", "Duration", -1)),
              "A130");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);  // no set-user-ID or set-group-ID handed on
    if (given) {
      EXPECT_EQ(std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid), "1234:4321");
    }
  }
  // A file of another owner, rewritten by one who may not give files away:
  // the rewrite is the writer's file.
  std::string shared = dir / "shared.ini";
  WriteFile(shared, "[S]\n");
  ASSERT_EQ(chmod(shared.c_str(), 0666) + chmod(dir.path().c_str(), 0777), 0);
  EXPECT_EQ(testing_support::RunWithoutPrivileges(
                [&] { return platform::ProfileWriteString(shared, "S", "k", "v") ? 0 : 1; }),
            0);
  EXPECT_EQ(ReadFile(shared), "[S]\nk=v\n");
  // A first line that begins like a byte-order mark keeps the file plain.
  std::string fresh = dir / "fresh.log";
  ASSERT_TRUE(platform::ProfileAppendLine(fresh, "\xFE\xFFx=1"));
  EXPECT_EQ(ReadFile(fresh), "\xEF\xBB\xBF\xFE\xFFx=1\n");
  // Text beyond ASCII written into a UTF-16 file reads back the same.
  std::string path = dir / "job.ini";
  WriteFile(path, Utf16(kJob, true));
  ASSERT_TRUE(platform::ProfileWriteString(path, "Alarm", "Note", "caf\xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_EQ(platform::ProfileGetString(path, "Alarm", "Note", ""), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(ReadFile(path).substr(0, 2), "\xFE\xFF");
}

// A last line without its line end (written by hand or another program)
// keeps its value: the appended line starts a line of its own.
TEST(ProfileWrite, AppendedLineNeverRunsOnIntoTheLastOne) {
  TempDir dir;
  const std::string le = std::string("\xFF\xFE[\0S\0]\0\n\0k\0=\0v\0", 16);
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"plain", "[S]\nk=v", "[S]\nk=v\nend\n"},
      {"carriage return", "[S]\rk=v\r", "[S]\rk=v\rend\n"},
      {"empty", "", "end\n"},
      {"UTF-8 mark only", "\xEF\xBB\xBF",
       "\xEF\xBB\xBF"
       "end\n"},
      {"UTF-8 mark", "\xEF\xBB\xBF[S]\nk=v", "\xEF\xBB\xBF[S]\nk=v\nend\n"},
      {"UTF-16 LE", le, le + std::string("\n\0e\0n\0d\0\n\0", 10)},
  };
  for (const auto& [what, before, after] : cases) {
    std::string path = dir / "m.txt";
    WriteFile(path, before);
    ASSERT_TRUE(platform::ProfileAppendLine(path, "end")) << what;
    EXPECT_EQ(ReadFile(path), after) << what;
  }
}

// A name someone else planted in a shared folder (a link to a file of theirs
// or ours, a FIFO, a link to a FIFO) is never written through nor waited on:
// the call fails with a reason naming the path and the target is unchanged.
TEST(ProfileWrite, PlantedNamesAreLeftAlone) {
  TempDir dir;
  const std::string target = dir / "target.txt";
  const std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::tuple<const char*, std::string> plants[] = {
      {"link to a file", target}, {"link to a FIFO", fifo}, {"FIFO", ""}};
  for (const auto& [what, points_to] : plants) {
    SCOPED_TRACE(what);
    const std::string name = dir / "A1.txt";
    WriteFile(target, "[S]\nk=v\n");
    if (points_to.empty())
      ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
    else
      ASSERT_EQ(symlink(points_to.c_str(), name.c_str()), 0);
    const platform::Status appended = platform::ProfileAppendLine(name, "line");
    const platform::Status written = platform::ProfileWriteString(name, "S", "k", "w");
    EXPECT_FALSE(appended);
    EXPECT_NE(appended.reason().find(name), std::string::npos) << appended.reason();
    EXPECT_FALSE(written);
    EXPECT_NE(written.reason().find(name), std::string::npos) << written.reason();
    EXPECT_EQ(ReadFile(target), "[S]\nk=v\n");
    ASSERT_EQ(unlink(name.c_str()), 0);
  }
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
        EXPECT_TRUE(platform::ProfileWriteString(path, "S" + std::to_string(k % 3), key,
                                                 std::to_string(t * 1000 + k).c_str()));
        if (k % 10 == 0) {
          EXPECT_TRUE(platform::ProfileAppendLine(path, "line " + key));
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int k = 0; k < kKeys; ++k)
      EXPECT_EQ(platform::ProfileGetInt(path, "S" + std::to_string(k % 3),
                                        "k" + std::to_string(t) + "_" + std::to_string(k), -1),
                t * 1000 + k);
  EXPECT_NE(ReadFile(path).find("line k7_30"), std::string::npos);
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

// The writer holds its temporary while it writes it and until it renames
// it, and its hold covers none of the file's bytes: where byte-range locks
// are enforced (CIFS), a lock over them through one descriptor refuses
// writes through the others.
TEST(HeldTemporary, StartUpRemovesOnlyThoseNobodyHoldsAndNoHoldCoversAByte) {
  TempDir dir;
  for (bool closed : {false, true}) {
    SCOPED_TRACE(closed ? "written, not yet renamed" : "being written");
    std::string held = dir / ("x.job" + std::string(platform::kProfileTemporarySuffix));
    auto writer = std::make_unique<platform::HeldTemporary>();
    ASSERT_TRUE(writer->Create(held, 0));
    EXPECT_FALSE(held.ends_with(".job"));
    ASSERT_TRUE(platform::WriteAll(writer->fd(), "[A]\nx=1\n", 8));
    if (closed) {
      ASSERT_TRUE(writer->CloseWriting());
    }
    platform::UniqueFd other(open(held.c_str(), O_RDWR | O_CLOEXEC));
    struct flock bytes {};
    bytes.l_type = F_WRLCK, bytes.l_whence = SEEK_SET, bytes.l_len = 1 << 20;
    EXPECT_EQ(fcntl(other.get(), F_OFD_SETLK, &bytes), 0);
    EXPECT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);  // CIFS makes it a byte-range lock
    other.reset();
    // A killed writer's temporary, and files that only look like one.
    WriteFile(dir / "a.ini.tmpAb12Cd", "[A]\nx=");
    for (const char* name : {"b.ini.tmp", "c.ini.tmpAb-2Cd", "d.job"}) WriteFile(dir / name, "");
    EXPECT_EQ(platform::RemoveLeftTemporaries(dir.path(), platform::IsProfileTemporaryName), 1);
    EXPECT_FALSE(FileExists(dir / "a.ini.tmpAb12Cd"));
    EXPECT_TRUE(FileExists(held));  // its writer is still at work
    for (const char* name : {"b.ini.tmp", "c.ini.tmpAb-2Cd", "d.job"})
      EXPECT_TRUE(FileExists(dir / name)) << name;
    writer.reset();  // killed before the rename
    EXPECT_EQ(platform::RemoveLeftTemporaries(dir.path(), platform::IsProfileTemporaryName), 1);
    EXPECT_FALSE(FileExists(held));
  }
}

}  // namespace

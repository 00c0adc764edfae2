// The dbf engine: the bytes it writes, what it reads back, how it treats
// broken files, and that concurrent writers of one table lose nothing.
#include "platform/dbf.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/sandbox.h"

namespace {

using platform::DbfFieldSpec;
using platform::DbfTable;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

const DbfFieldSpec kAlarmFields[] = {
    {"STATUS", 'N', 4, 0}, {"TIME", 'C', 6, 0},   {"TO1", 'N', 4, 0},
    {"TI1", 'C', 6, 0},    {"AMOUNT", 'N', 8, 2},
};

// A table of `records` records whose STATUS is the record number.
std::string MakeTable(const TempDir& dir, const char* name, int records) {
  std::string path = dir / name;
  DbfTable t;
  EXPECT_EQ(t.Create(path, kAlarmFields).reason(), "");
  for (int i = 1; i <= records; ++i)
    EXPECT_TRUE(t.Append() && t.SetInteger(0, i) && t.SetText(1, "000000") && t.Flush());
  EXPECT_TRUE(t.Close());
  return path;
}

TEST(DbfNumber, ParsesFieldText) {
  std::istringstream texts("   7|  -3.75||+12|.5|12.|" + std::string("\0\0 9", 4) +
                           "|9223372036854775807|9223372036854775808|****|12abc|1 2|-|1e5");
  std::string got;
  for (std::string text; std::getline(texts, text, '|');) {
    long value = -1;
    got += (platform::dbf::ParseNumber(text, value) ? std::to_string(value) : "bad") + " ";
  }
  // Other programs write fractions without their 0 (".5").
  EXPECT_EQ(got, "7 -3 0 12 0 12 9 9223372036854775807 bad bad bad bad bad bad ");
}

// Numbers into a field's width: from an integer (text nullptr) or from text.
TEST(DbfNumber, FormatsIntoFieldWidth) {
  // text, value, length, decimals, ok, bytes
  const std::tuple<const char*, long, std::size_t, std::size_t, bool, const char*> cases[] = {
      {nullptr, 9999, 4, 0, true, "9999"},  {nullptr, 10000, 4, 0, false, ""},
      {nullptr, -999, 4, 0, true, "-999"},  {nullptr, -1000, 4, 0, false, ""},
      {nullptr, 7, 8, 2, true, "    7.00"}, {nullptr, 123456, 8, 2, false, ""},
      {"3.456", 0, 8, 2, true, "    3.46"}, {"9.995", 0, 8, 2, true, "   10.00"},
      {"-0.001", 0, 6, 2, true, "  0.00"},  {" 42 ", 0, 4, 0, true, "  42"},
      {"42.5", 0, 4, 0, true, "  43"},      {"", 0, 4, 0, true, "    "},
      {"abc", 0, 4, 0, false, ""},          {"12345", 0, 4, 0, false, ""},
  };
  for (const auto& [text, value, length, decimals, ok, bytes] : cases) {
    SCOPED_TRACE(text ? text : std::to_string(value));
    std::string out;
    EXPECT_EQ(text ? platform::dbf::FormatNumberText(text, length, decimals, out)
                   : platform::dbf::FormatInteger(value, length, decimals, out),
              ok);
    EXPECT_EQ(ok ? out : "", bytes);
  }
}

TEST(DbfTable, CreatesStandardDbaseThreeLayout) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 1);
  std::string bytes = ReadFile(path);
  const std::size_t header_length = 32 + 32 * 5 + 1;        // 193: 0xC1
  const std::size_t record_length = 1 + 4 + 6 + 4 + 6 + 8;  // 29: 0x1D
  ASSERT_EQ(bytes.size(), header_length + record_length + 1);
  // Version, one record, header and record lengths; each field's name, type,
  // length and decimals.
  EXPECT_EQ(bytes[0] + bytes.substr(4, 8), std::string("\x03\x01\0\0\0\xC1\0\x1D\0", 9));
  EXPECT_EQ(bytes.substr(32, 18), std::string("STATUS\0\0\0\0\0N\0\0\0\0\x04\0", 18));
  EXPECT_EQ(bytes.substr(32 + 4 * 32 + 16, 2), "\x08\x02");  // AMOUNT
  EXPECT_EQ(bytes[header_length - 1], 0x0D);
  EXPECT_EQ(bytes.substr(header_length), "    1000000" + std::string(18, ' ') + "\x1A");
}

TEST(DbfTable, RoundTripsValuesAndPositions) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 3);
  DbfTable t;
  ASSERT_EQ(t.Open(path).reason(), "");
  EXPECT_EQ(t.RecordCount() * 10 + t.Position(), 31u);
  ASSERT_TRUE(t.Go(2) && t.SetText(1, "123456") && t.SetText(4, "-3.456"));
  EXPECT_TRUE(t.SetText(3, "LONGER THAN SIX"));  // cut to the field
  ASSERT_TRUE(t.Flush() && t.Close());

  ASSERT_TRUE(t.Open(path) && t.Go(2));
  EXPECT_EQ(t.Integer(0).value_or(-1), 2);
  EXPECT_EQ(t.Text(1) + "|" + std::string(t.RawField(4)) + "|" + t.Text(3),
            "123456|   -3.46|LONGER");
  EXPECT_EQ(t.FieldIndex("time"), 1);
  EXPECT_EQ(t.FieldIndex("NOPE"), -1);

  // Moving beyond either end.
  EXPECT_TRUE(t.Skip(5) && t.Eof() && t.Position() == 4u);
  EXPECT_TRUE(t.Skip(-10) && t.Bof() && t.Position() == 1u);
  EXPECT_TRUE(t.Skip(LONG_MAX) && t.Eof());
  EXPECT_TRUE(t.Skip(LONG_MIN) && t.Position() == 1u);

  // A record that does not exist leaves the table past its end, where no
  // change is accepted.
  EXPECT_FALSE(t.Go(9));
  EXPECT_TRUE(t.Eof());
  EXPECT_FALSE(t.SetInteger(0, 5) || t.SetDeleted(true));
  EXPECT_EQ(t.Go(0).reason(), path + ": record 0 does not exist (3 records)");

  // A copy is a second, independent handle on the same record.
  ASSERT_TRUE(t.Go(3));
  DbfTable b(t);
  ASSERT_TRUE(b.IsOpen() && t.Close());
  EXPECT_EQ(b.Position(), 3u);
  EXPECT_EQ(b.Text(0), "   3");
  ASSERT_TRUE(b.SetInteger(0, 33) && b.Flush() && b.Close());

  // Numbers with garbage are errors, not values.
  WriteFile(path, ReadFile(path).replace(193 + 1, 4, "1x2*"));
  ASSERT_TRUE(t.Open(path));
  EXPECT_EQ(t.Integer(0).status().reason(), path + ": '1x2*' is no number for field STATUS");
  EXPECT_FALSE(t.SetText(0, "twelve") || t.SetInteger(0, 123456));
  EXPECT_EQ(t.RawField(0), "1x2*");  // unchanged by the refused values
}

TEST(DbfTable, ChangeTouchesOnlyItsRecordAndTheDate) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 3);
  std::string before = ReadFile(path);
  // An old date, so the stamp shows.
  before[1] = 80;
  before[2] = 1;
  before[3] = 1;
  WriteFile(path, before);
  DbfTable t;
  ASSERT_TRUE(t.Open(path) && t.Go(2) && t.SetInteger(2, 8) && t.Flush());
  std::string after = ReadFile(path), expected = before;
  EXPECT_NE(after.substr(1, 3), before.substr(1, 3));
  expected.replace(1, 3, after.substr(1, 3));
  expected.replace(193 + 29 + 11, 4, "   8");  // TO1 of record 2
  EXPECT_EQ(after, expected);
}

// Two handles change different fields of one record: both changes stay,
// because a write lays only its own fields over what is on disk.
TEST(DbfTable, WritesMergeWithOtherWritersOfTheSameRecord) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 2);
  DbfTable a, b, c;
  ASSERT_TRUE(a.Open(path) && b.Open(path) && a.Go(2) && b.Go(2));
  ASSERT_TRUE(a.SetInteger(0, 7) && b.SetText(1, "101010") && b.SetDeleted(true));
  ASSERT_TRUE(a.Flush() && b.Flush());
  EXPECT_EQ(b.Text(0), "   7");  // b's buffer now holds a's change too
  ASSERT_TRUE(c.Open(path) && c.Go(2));
  EXPECT_EQ(c.Text(0) + c.Text(1), "   7101010");
  EXPECT_TRUE(c.Deleted());
}

TEST(DbfTable, AppendsSeenByOtherHandlesAndPackRemovesDeleted) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 4);
  DbfTable a, b;
  ASSERT_TRUE(a.Open(path) && b.Open(path) && a.Append() && a.SetInteger(0, 5) && a.Flush());
  EXPECT_EQ(b.RecordCount(), 5u);
  ASSERT_TRUE(b.Bottom());
  EXPECT_EQ(b.Text(0), "   5");

  for (std::uint32_t r : {1u, 3u}) ASSERT_TRUE(a.Go(r) && a.SetDeleted(true));
  ASSERT_TRUE(a.Go(4) && a.Go(3));  // moving writes the pending deletion of record 3
  EXPECT_TRUE(a.Deleted());
  ASSERT_TRUE(a.SetDeleted(false));  // recall it again
  ASSERT_EQ(a.Pack().reason(), "");
  EXPECT_EQ(a.RecordCount(), 4u);
  std::vector<std::string> left;
  for ((void)a.Top(); !a.Eof(); (void)a.Skip(1)) left.push_back(a.Text(0));
  EXPECT_EQ(left, (std::vector<std::string>{"   2", "   3", "   4", "   5"}));
  std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes.size(), 193u + 4 * 29 + 1);
  EXPECT_EQ(bytes.back(), 0x1A);
}

TEST(DbfTable, RefusesBadFieldListsOnCreate) {
  TempDir dir;
  const std::vector<std::vector<DbfFieldSpec>> bad = {
      {},
      {{"1ST", 'C', 4, 0}},
      {{"TOOLONGNAME", 'C', 4, 0}},
      {{"A", 'C', 0, 0}},
      {{"A", 'C', 255, 0}},
      {{"A", 'N', 21, 0}},
      {{"A", 'N', 4, 3}},
      {{"A", 'D', 8, 0}},
      {{"A", 'C', 4, 0}, {"a", 'N', 4, 0}},
  };
  for (std::size_t i = 0; i < bad.size(); ++i) {
    DbfTable t;
    EXPECT_NE(t.Create(dir / "bad.dbf", bad[i]).reason(), "") << "case " << i;
    EXPECT_FALSE(testing_support::FileExists(dir / "bad.dbf")) << "case " << i;
  }
}

// Tables from other programs: a Clipper-style wide character field, other
// field types carried as text, a header without its terminator.
TEST(DbfTable, ReadsVariantsOtherProgramsWrite) {
  TempDir dir;
  // Header: one C field of 300 bytes (length 44 + 256 * 1), one L field.
  std::string h(32 + 64 + 1, '\0');
  auto put = [&](std::size_t at, std::string_view bytes) { h.replace(at, bytes.size(), bytes); };
  put(0, std::string("\x03\0\0\0\x01", 5));
  put(8, std::string{static_cast<char>(h.size()), 0, static_cast<char>(302 & 0xFF), 1});
  put(32, "NOTE"), put(32 + 11, "C"), put(32 + 16, "\x2c\x01");
  put(64, "OK"), put(64 + 11, "L"), put(64 + 16, "\x01");
  h[96] = 0x0D;
  std::string record = " " + std::string("hello") + std::string(295, ' ') + "T";
  WriteFile(dir / "wide.dbf", h + record);  // no end-of-file marker either
  DbfTable t;
  ASSERT_EQ(t.Open(dir / "wide.dbf").reason(), "");
  ASSERT_EQ(t.Fields().size(), 2u);
  EXPECT_EQ(t.Fields()[0].length, 300u);
  EXPECT_EQ(t.Text(0), "hello");
  EXPECT_EQ(t.Text(1), "T");
  EXPECT_FALSE(t.Integer(1));

  // The same without the terminator byte: descriptors end at the header length.
  std::string h2 = h.substr(0, 96);
  h2[8] = 96;
  WriteFile(dir / "noterm.dbf", h2 + record);
  ASSERT_EQ(t.Open(dir / "noterm.dbf").reason(), "");
  EXPECT_EQ(t.Text(0), "hello");
}

// Broken and hostile files: Open fails with a reason, never crashes, never
// allocates what the file claims.
TEST(DbfTable, RefusesCorruptFiles) {
  TempDir dir;
  const std::string good = ReadFile(MakeTable(dir, "good.dbf", 2));
  auto with = [&](std::size_t at, std::string bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"empty file", "", "too short"},
      {"unknown version", with(0, "\x02"), "unknown table version 0x02"},
      {"header length beyond the file", with(8, std::string("\xff\xff", 2)), "header length"},
      {"header length too small", with(8, std::string("\x10\x00", 2)), "header length"},
      {"record length zero", with(10, std::string("\x00\x00", 2)), "record length 0"},
      {"record length one off", with(10, std::string("\x1e\x00", 2)), "does not match"},
      {"field length zero", with(32 + 16, std::string("\x00", 1)), "does not match"},
      {"no descriptors", with(32, "\x0D"), "no field descriptors"},
  };
  for (const auto& [what, bytes, reason] : cases) {
    SCOPED_TRACE(what);
    WriteFile(dir / "bad.dbf", bytes);
    DbfTable t;
    const std::string why = t.Open(dir / "bad.dbf").reason();
    EXPECT_FALSE(t.FileUnavailable() || t.IsOpen());
    EXPECT_TRUE(why.starts_with(dir / "bad.dbf: ") && why.find(reason) != why.npos) << why;
  }

  // Descriptors claiming more fields than any header can hold.
  std::string many(32 + 32 * 300 + 1, '\0');  // header length 0x25A1, record length 301
  many.replace(0, 12, std::string("\x03\0\0\0\0\0\0\0\xA1\x25\x2D\x01", 12));
  for (int i = 0; i < 300; ++i)
    many.replace(32 + 32 * i, 17, std::string("F\0\0\0\0\0\0\0\0\0\0C\0\0\0\0\x01", 17));
  many.back() = 0x0D;
  WriteFile(dir / "many.dbf", many);
  DbfTable t;
  const std::string why = t.Open(dir / "many.dbf").reason();
  EXPECT_NE(why.find("more than 255 fields"), std::string::npos) << why;

  EXPECT_FALSE(t.Open(dir / "missing.dbf"));
  EXPECT_TRUE(t.FileUnavailable());
  EXPECT_FALSE(t.Open(dir.path()));
  EXPECT_TRUE(t.FileUnavailable());
}

// A header counting more records than the file holds (a writer between its
// record and its count, or one that died there): the whole records present
// are the table, and they take changes; the count is left to its writer.
TEST(DbfTable, CountBeyondTheDataOpensWithTheWholeRecords) {
  TempDir dir;
  const std::string good = ReadFile(MakeTable(dir, "good.dbf", 2));
  const std::tuple<const char*, std::string, std::uint32_t> cases[] = {
      {"count one too many", good.substr(0, 4) + '\x03' + good.substr(5), 2},
      {"count huge", good.substr(0, 4) + std::string("\xff\xff\xff\x7f", 4) + good.substr(8), 2},
      {"last record cut", good.substr(0, good.size() - 5), 1},
  };
  for (const auto& [what, bytes, records] : cases) {
    SCOPED_TRACE(what);
    WriteFile(dir / "short.dbf", bytes);
    DbfTable t;
    ASSERT_EQ(t.Open(dir / "short.dbf").reason(), "");
    EXPECT_EQ(t.RecordCount(), records);
    ASSERT_TRUE(t.Go(records));
    EXPECT_TRUE(t.SetInteger(2, 8) && t.Flush());
    EXPECT_FALSE(t.Go(records + 1) || t.Append());  // never after a gap
    ASSERT_TRUE(t.Close());
    std::string after = ReadFile(dir / "short.dbf");
    EXPECT_EQ(after.substr(4, 4) + after.substr(193 + 29 * (records - 1) + 11, 4),
              bytes.substr(4, 4) + "   8");
  }
}

// The alarm server's side names files without regard to case.
TEST(DbfTable, OpensTablesWhateverTheCaseOfTheirName) {
  // On disk, asked, found (nullptr: not found).
  const std::tuple<std::vector<const char*>, const char*, const char*> cases[] = {
      {{"A1.DBF"}, "a1.dbf", "A1.DBF"},           {{"vm001.dbf"}, "VM001.DBF", "vm001.dbf"},
      {{"A1.DBF", "a1.dbf"}, "a1.dbf", "a1.dbf"},  // an exact name is preferred
      {{"A1.DBF", "a1.dbf"}, "A1.dbf", "A1.DBF"},  // else the first in byte order
      {{"A1.DBF"}, "a1.dbf.old", nullptr},
  };
  for (const auto& [on_disk, asked, found] : cases) {
    TempDir dir;
    for (const char* name : on_disk) MakeTable(dir, name, 1);
    DbfTable t;
    EXPECT_EQ(t.Open(dir / asked).ok(), found != nullptr) << asked;
    EXPECT_EQ(t.IsOpen() ? t.Path() : "", found ? dir / found : "") << asked;
  }
}

TEST(DbfTable, ReadOnlyFileOpensForReading) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 1);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  auto check = [&] {
    DbfTable t;
    if (!t.Open(path) || !t.ReadOnly() || t.Text(0) != "   1") return 1;
    if (!t.SetInteger(0, 2)) return 2;
    if (t.Flush().reason() != path + ": opened read only (Permission denied)") return 3;
    if (t.Append() || t.Pack()) return 4;
    return 0;
  };
  EXPECT_EQ(testing_support::RunWithoutPrivileges(check), 0);
}

// A lock another process keeps is waited for only so long: the change then
// fails with a line naming the table, and nothing is written.
TEST(DbfTable, LockWaitEndsWhenAnotherProcessKeepsTheTable) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 1);
  int locked[2], release[2];
  ASSERT_TRUE(pipe(locked) == 0 && pipe(release) == 0);
  pid_t pid = fork();
  if (pid == 0) {  // takes the whole file and says so, keeps it until released
    close(release[1]);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    int fd = open(path.c_str(), O_RDWR);
    char c = 'x';
    if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0 || write(locked[1], &c, 1) != 1) _exit(1);
    while (read(release[0], &c, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  close(release[0]);
  char c;
  ASSERT_EQ(read(locked[0], &c, 1), 1);
  DbfTable t;
  ASSERT_TRUE(t.Open(path) && t.SetInteger(2, 8));
  std::atomic<int> ended{0};  // 1 + whether the write went through
  std::string why;
  std::thread writer([&] {
    why = t.Flush().reason();
    ended = why.empty() ? 2 : 1;
  });
  bool done = testing_support::WaitFor([&] { return ended != 0; }, 120);
  close(release[1]);
  writer.join();
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(done);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(why, path + ": still locked by another writer after 5 s, gave up");
  EXPECT_EQ(ReadFile(path).substr(193 + 11, 4), "    ");
}

// Every open table of a file shares one entry of the lock registry; the last
// close frees it, so opening ever new tables does not make it grow.
TEST(DbfTable, LockRegistryKeepsOnlyFilesInUse) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 1);
  std::size_t before = platform::DbfLockRegistrySize();
  {
    DbfTable a, b;
    ASSERT_TRUE(a.Open(path));
    ASSERT_TRUE(b.Open(path));
    EXPECT_EQ(platform::DbfLockRegistrySize(), before + 1);
    ASSERT_TRUE(a.Lock());
    ASSERT_TRUE(b.Close());  // its descriptor waits for a's lock
    a.Unlock();
  }
  EXPECT_EQ(platform::DbfLockRegistrySize(), before);
  for (int i = 0; i < 50; ++i) {
    std::string other = MakeTable(dir, ("t" + std::to_string(i) + ".dbf").c_str(), 1);
    DbfTable t;
    ASSERT_TRUE(t.Open(other));
    ASSERT_TRUE(t.SetInteger(0, 5) && t.Flush());
  }
  EXPECT_EQ(platform::DbfLockRegistrySize(), before);
}

// Threads of one process, each with its own handle, writing their own field
// of one shared record and their own record at once: fcntl locks alone would
// not keep them apart, and a lost update shows as a stale field.
TEST(DbfTable, ThreadsWritingOneTableLoseNothing) {
  TempDir dir;
  std::string path = MakeTable(dir, "a.dbf", 5);
  constexpr int kRounds = 1000;
  constexpr int kReopenEvery = 50;  // closing is part of what must not drop locks
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int w = 0; w < kThreads; ++w) {
    threads.emplace_back([&, w] {
      DbfTable t;
      for (int i = 1; i <= kRounds; ++i)
        if ((i % kReopenEvery == 1 && !t.Open(path)) || !t.Go(1) ||
            !t.SetText(w, std::to_string(i)) || !t.Flush() ||
            !t.Go(static_cast<std::uint32_t>(w + 2)) || !t.SetInteger(2, i) || !t.Flush())
          ++failures;
    });
  }
  for (std::thread& th : threads) th.join();
  DbfTable t;
  ASSERT_TRUE(t.Open(path));
  EXPECT_EQ(failures, 0);
  for (int w = 0; w < kThreads; ++w) {
    ASSERT_TRUE(t.Go(1));
    long shared = t.Integer(w).value_or(-1);
    ASSERT_TRUE(t.Go(static_cast<std::uint32_t>(w + 2)));
    EXPECT_EQ(std::vector<long>({shared, t.Integer(0).value_or(-1), t.Integer(2).value_or(-1)}),
              std::vector<long>({kRounds, w + 2, kRounds}))
        << "writer " << w;
  }
}

}  // namespace

#include "platform/dbf.h"
#include "platform/mutex.h"
#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>
#include <utility>

namespace platform {
namespace {

static constexpr const char* kNotOpen = "no table is open";
static constexpr const char* kCannotOpenFormat = "%s: cannot open: %s";
static constexpr const char* kNotRegularFormat = "%s: not a regular file";
static constexpr const char* kBadTableFormat = "%s: %s";
static constexpr const char* kIoErrorFormat = "%s: %s: %s";
static constexpr const char* kNoRecordFormat = "%s: record %ld does not exist (%u records)";
static constexpr const char* kRecordUnreadableFormat = "%s: record %u cannot be read";
static constexpr const char* kPastEndFormat = "%s: no current record (end of file)";
static constexpr const char* kReadOnlyFormat = "%s: opened read only (%s)";
static constexpr const char* kLockTimeoutFormat =
    "%s: still locked by another writer after %d s, gave up";
static constexpr const char* kNotNumberFormat = "%s: '%.*s' is no number for field %s";
static constexpr const char* kTooWideFormat = "%s: value does not fit field %s";
static constexpr const char* kNoNumberFieldFormat = "%s: field %s cannot hold a number";
static constexpr const char* kCountBeyondDataFormat =
    "%s: header counts %u records but the file holds %u; not appending after the gap";
static constexpr const char* kTableFullFormat = "%s: table full";
static constexpr const char* kBadFieldSpecFormat =
    "%s: field %zu: bad name, type, length or decimals";
static constexpr const char* kDuplicateFieldFormat = "%s: field name %s given twice";
static constexpr const char* kFieldCountFormat = "%s: a table needs 1 to %zu fields";
static constexpr const char* kNoFieldFormat = "%s: no field %d";

static constexpr const char* kWhatRead = "read failed";
static constexpr const char* kWhatWrite = "write failed";
static constexpr const char* kWhatLock = "lock failed";
static constexpr const char* kWhatStat = "stat failed";
static constexpr const char* kWhatCreate = "cannot create";
static constexpr const char* kWhatTruncate = "truncate failed";

// Records a table can count: the position past the end must still fit.
constexpr std::uint32_t kMaxRecordCount = 0xFFFFFFFEu;
// Skips larger than any table are cut to this before adding.
constexpr long kMaxSkip = 1L << 33;

using LockClock = std::chrono::steady_clock;

// How long a lock is waited for, and the pauses between tries: short at
// first, since other writers hold a record for microseconds, longer while
// the wait lasts, so a table locked by the alarm server costs little.
constexpr int kLockWaitSeconds = 5;
constexpr auto kFirstLockPause = std::chrono::milliseconds(1);
constexpr auto kLongestLockPause = std::chrono::milliseconds(20);

LockClock::time_point LockDeadline() {
  return LockClock::now() + std::chrono::seconds(kLockWaitSeconds);
}

// Sets (or, with F_UNLCK, drops) an fcntl lock on a byte range, retrying
// until `deadline`. F_SETLKW would wait for as long as another program holds
// the range, and only a signal could end that wait; trying again and again
// keeps the wait bounded without one. 0, or the errno that ended it
// (ETIMEDOUT when the deadline passed).
int SetLockBefore(int fd, short type, std::uint64_t start, std::uint64_t length,
                  LockClock::time_point deadline) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(start);
  fl.l_len = static_cast<off_t>(length);
  auto pause = kFirstLockPause;
  for (;;) {
    if (fcntl(fd, F_SETLK, &fl) == 0) return 0;
    int error = errno;
    if (error == EINTR) continue;
    if (error != EACCES && error != EAGAIN) return error;
    auto now = LockClock::now();
    if (now >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(std::min<LockClock::duration>(pause, deadline - now));
    pause = std::min<std::chrono::milliseconds>(pause * 2, kLongestLockPause);
  }
}

void DropLock(int fd, std::uint64_t start, std::uint64_t length) {
  // Unlocking never waits, and a failure to unlock what we hold cannot be
  // acted on.
  (void)SetLockBefore(fd, F_UNLCK, start, length, LockClock::now());
}

void Today(int& year, int& month, int& day) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  year = tm.tm_year + 1900;
  month = tm.tm_mon + 1;
  day = tm.tm_mday;
}

bool IsNumeric(const dbf::Field& f) { return f.type == 'N' || f.type == 'F'; }

}  // namespace

// What this process holds on one file. Every table open on the file shares
// it; `mutex` is held through every locked stretch and every close. Lock
// waits take it with the same deadline as the fcntl lock, so a thread of
// ours that holds the table cannot keep another waiting without end either.
struct DbfFileLocks {
  RecursiveTimedMutex mutex;
  dev_t dev = 0;  // the file, as the registry knows it
  ino_t ino = 0;
  int users = 0;                    // open tables of the file (guarded by the registry's lock)
  int held GUARDED_BY(mutex) = 0;   // fcntl locks this process holds on the file
  int whole GUARDED_BY(mutex) = 0;  // tables holding the whole-file lock
  std::vector<int> closing GUARDED_BY(mutex);  // closes waiting for held == 0

  // Closes the descriptors that waited for the last lock to end.
  void CloseWaiting() REQUIRES(mutex) {
    if (held > 0) return;
    for (int fd : closing) ::close(fd);
    closing.clear();
  }
};

namespace {

// One entry per file that a table of this process has open, counted by its
// open tables: the last Close frees it, so a gateway that opens a new alarm
// table for every alarm does not collect them. The map itself is never
// destroyed, since a detached thread may still close a table at exit.
using FileKey = std::pair<dev_t, ino_t>;
struct FileLocksRegistry {
  Mutex lock;
  std::map<FileKey, std::unique_ptr<DbfFileLocks>> files GUARDED_BY(lock);
};

FileLocksRegistry& Registry() {
  static auto* registry = new FileLocksRegistry();
  return *registry;
}

DbfFileLocks* AcquireFileLocks(dev_t dev, ino_t ino) {
  FileLocksRegistry& r = Registry();
  MutexLock guard(r.lock);
  auto& slot = r.files[{dev, ino}];
  if (!slot) {
    slot = std::make_unique<DbfFileLocks>();
    slot->dev = dev;
    slot->ino = ino;
  }
  ++slot->users;
  return slot.get();
}

// Called by a table that has closed its descriptor and left the file's
// mutex: when it was the last, no one can reach the entry any more (a lock
// held, or a descriptor waiting to close, belongs to a table still open).
void ReleaseFileLocks(DbfFileLocks* locks) {
  FileLocksRegistry& r = Registry();
  MutexLock guard(r.lock);
  if (--locks->users == 0) r.files.erase({locks->dev, locks->ino});
}

}  // namespace

std::size_t DbfLockRegistrySize() {
  FileLocksRegistry& r = Registry();
  MutexLock guard(r.lock);
  return r.files.size();
}

// Write lock on a byte range of the table's file for the life of the object
// (length 0: to the end of the file and beyond), taken with the file's
// in-process mutex. While a table of this thread holds the whole file, the
// range is covered already and no fcntl lock is taken (unlocking it would
// cut a hole into the whole-file lock).
class DbfRangeLock {
 public:
  // Leaves the file's mutex held when ok(), for the destructor to give
  // back: a span the analysis cannot follow across the two.
  DbfRangeLock(DbfTable& table, std::uint64_t start, std::uint64_t length) NO_THREAD_SAFETY_ANALYSIS
      : table_(table),
        locks_(*table.file_locks_),
        start_(start),
        length_(length) {
    LockClock::time_point deadline = LockDeadline();
    if (!locks_.mutex.TryLockUntil(deadline)) {
      error_ = ETIMEDOUT;
      return;
    }
    if (locks_.whole == 0) {
      error_ = SetLockBefore(table.fd_, F_WRLCK, start, length, deadline);
      if (error_ != 0) {
        locks_.mutex.Unlock();
        return;
      }
      fcntl_held_ = true;
      ++locks_.held;
    }
    ok_ = true;
  }
  ~DbfRangeLock() {
    if (!ok_) return;
    locks_.mutex.AssertHeld();  // taken by the constructor
    if (fcntl_held_) {
      DropLock(table_.fd_, start_, length_);
      --locks_.held;
      locks_.CloseWaiting();
    }
    locks_.mutex.Unlock();
  }
  DbfRangeLock(const DbfRangeLock&) = delete;
  DbfRangeLock& operator=(const DbfRangeLock&) = delete;

  bool ok() const { return ok_; }
  int error() const { return error_; }

 private:
  DbfTable& table_;
  DbfFileLocks& locks_;
  std::uint64_t start_;
  std::uint64_t length_;
  bool fcntl_held_ = false;
  bool ok_ = false;
  int error_ = 0;
};

DbfTable::~DbfTable() {
  // A destructor has no one to tell about a failed write; Close() reported
  // nothing to anyone either way, so its result is dropped here on purpose.
  (void)Close();
}

DbfTable::DbfTable(const DbfTable& other) { *this = other; }

DbfTable& DbfTable::operator=(const DbfTable& other) {
  if (this == &other) return *this;
  (void)Close();
  Reset();
  path_ = other.path_;
  if (!other.IsOpen() || !Open(other.path_)) return *this;
  if (record_length_ == other.record_length_ && fields_.size() == other.fields_.size()) {
    position_ = other.position_;
    eof_ = other.eof_;
    bof_ = other.bof_;
    record_ = other.record_;
    dirty_fields_ = other.dirty_fields_;
    flag_dirty_ = other.flag_dirty_;
  }
  return *this;
}

Status DbfTable::FailErrno(const char* what, int error) const {
  return Status::Failure(StringPrintf(kIoErrorFormat, path_.c_str(), what, std::strerror(error)),
                         error);
}

Status DbfTable::FailLock(int error) const {
  if (error == ETIMEDOUT)
    return Fail(StringPrintf(kLockTimeoutFormat, path_.c_str(), kLockWaitSeconds));
  return FailErrno(kWhatLock, error);
}

void DbfTable::Reset() {
  fd_ = -1;
  read_only_ = false;
  read_only_reason_.clear();
  table_locked_ = false;
  file_locks_ = nullptr;
  header_length_ = 0;
  record_length_ = 0;
  fields_.clear();
  record_.clear();
  dirty_fields_.clear();
  flag_dirty_ = false;
  position_ = 0;
  eof_ = true;
  bof_ = false;
}

void DbfTable::ResetRecord() {
  std::fill(dirty_fields_.begin(), dirty_fields_.end(), false);
  flag_dirty_ = false;
}

bool DbfTable::ReadExact(std::uint64_t offset, void* data, std::size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = pread(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

Status DbfTable::WriteExact(std::uint64_t offset, const void* data, std::size_t size) {
  return PWriteAll(fd_, data, size, static_cast<off_t>(offset));
}

Status DbfTable::Open(const std::string& path) {
  (void)Close();  // a failed write of the previous table was the caller's to flush
  Reset();
  file_unavailable_ = false;

  // The alarm server names its files on a system that ignores case.
  path_ = ResolveFileNameCase(path);
  // Tables lie in a folder other accounts write: a link is not followed, and
  // a FIFO or a device put under the name is not waited on (refused below).
  constexpr int kSharedFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(path_.c_str(), O_RDWR | kSharedFlags);
  bool read_only = false;
  int read_only_error = 0;
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    read_only_error = errno;
    fd = ::open(path_.c_str(), O_RDONLY | kSharedFlags);
    read_only = true;
  }
  if (fd < 0) {
    file_unavailable_ = true;
    return Fail(StringPrintf(kCannotOpenFormat, path_.c_str(), std::strerror(errno)));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    file_unavailable_ = true;
    return Fail(StringPrintf(kNotRegularFormat, path_.c_str()));
  }
  const int status_flags = fcntl(fd, F_GETFL);
  if (status_flags >= 0) (void)fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK);
  fd_ = fd;
  read_only_ = read_only;
  if (read_only) read_only_reason_ = std::strerror(read_only_error);
  file_locks_ = AcquireFileLocks(st.st_dev, st.st_ino);

  // The fixed part tells the header length; the header is then read whole
  // (at most 64 KiB, whatever the file claims).
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  unsigned char prefix[dbf::kHeaderPrefixSize] = {};
  std::size_t prefix_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof prefix));
  std::vector<unsigned char> header;
  std::string reason;
  dbf::Header parsed;
  bool ok = ReadExact(0, prefix, prefix_size);
  if (ok) {
    std::size_t stated = dbf::StatedHeaderLength(std::span(prefix, prefix_size));
    std::size_t want =
        std::max(prefix_size, static_cast<std::size_t>(std::min<std::uint64_t>(stated, size)));
    header.resize(want);
    ok = ReadExact(0, header.data(), header.size());
  }
  // Another program may append while we read: it writes a record before the
  // count that shows it, so a size taken after the header always covers the
  // count read in it.
  Status result;
  if (!ok) {
    result = FailErrno(kWhatRead, errno);
  } else if (fstat(fd, &st) == 0) {
    size = static_cast<std::uint64_t>(st.st_size);
  }
  if (ok && !dbf::ParseHeader(header, size, parsed, reason))
    result = Fail(StringPrintf(kBadTableFormat, path_.c_str(), reason.c_str()));
  if (!result) {
    (void)Close();
    return result;
  }
  header_length_ = parsed.header_length;
  record_length_ = parsed.record_length;
  fields_ = std::move(parsed.fields);
  record_.assign(record_length_, ' ');
  dirty_fields_.assign(fields_.size(), false);
  if (Status top = Top(); !top) {
    (void)Close();
    return top;
  }
  return {};
}

Status DbfTable::Create(const std::string& path, std::span<const DbfFieldSpec> specs) {
  (void)Close();
  Reset();
  file_unavailable_ = false;
  path_ = path;
  if (specs.empty() || specs.size() > dbf::kMaxFields) {
    return Fail(StringPrintf(kFieldCountFormat, path.c_str(), dbf::kMaxFields));
  }
  dbf::Header header;
  header.version = dbf::kVersionDbase3;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const DbfFieldSpec& s = specs[i];
    char type = static_cast<char>(s.type == 'c' ? 'C' : s.type == 'n' ? 'N' : s.type);
    bool ok = dbf::IsValidFieldName(s.name);
    if (type == 'C') {
      ok = ok && s.length >= 1 && s.length <= dbf::kMaxCharLength && s.decimals == 0;
    } else if (type == 'N') {
      ok = ok && s.length >= 1 && s.length <= dbf::kMaxNumericLength &&
           s.decimals <= dbf::kMaxDecimals && (s.decimals == 0 || s.decimals + 2 <= s.length);
    } else {
      ok = false;
    }
    if (!ok) return Fail(StringPrintf(kBadFieldSpecFormat, path.c_str(), i + 1));
    for (const dbf::Field& f : header.fields) {
      if (dbf::SameFieldName(f.name, s.name)) {
        std::string name(s.name);
        return Fail(StringPrintf(kDuplicateFieldFormat, path.c_str(), name.c_str()));
      }
    }
    dbf::Field f;
    f.name = std::string(s.name);
    f.type = type;
    f.length = s.length;
    f.decimals = s.decimals;
    header.fields.push_back(std::move(f));
  }
  int year, month, day;
  Today(year, month, day);
  std::vector<unsigned char> bytes = dbf::BuildHeader(header, year, month, day);
  bytes.push_back(dbf::kEndOfFileMarker);

  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return FailErrno(kWhatCreate, errno);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return FailErrno(kWhatCreate, errno);
  fd_ = fd;
  Status written = WriteExact(0, bytes.data(), bytes.size());
  ::close(fd);
  fd_ = -1;
  if (!written) return FailErrno(kWhatWrite, written.error());
  return Open(path);
}

Status DbfTable::Close() {
  if (fd_ < 0) return {};
  Status flushed = Flush();
  Unlock();
  {
    // Closing drops every fcntl lock this process holds on the file: it
    // waits until no other thread is inside a locked stretch, and while this
    // thread itself still holds a lock through another table the descriptor
    // stays open until that lock ends.
    RecursiveTimedMutexLock guard(file_locks_->mutex);
    if (file_locks_->held > 0) {
      file_locks_->closing.push_back(fd_);
    } else {
      ::close(fd_);
    }
  }
  ReleaseFileLocks(file_locks_);
  Reset();
  return flushed;
}

int DbfTable::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (dbf::SameFieldName(fields_[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

bool DbfTable::ReadHeaderCount(std::uint32_t& count) {
  unsigned char bytes[4];
  if (!ReadExact(dbf::kRecordCountOffset, bytes, sizeof bytes)) return false;
  count = dbf::GetU32(bytes);
  return true;
}

std::uint32_t DbfTable::RecordCount() {
  if (fd_ < 0) return 0;
  std::uint32_t count = 0;
  struct stat st {};
  if (!ReadHeaderCount(count) || fstat(fd_, &st) != 0) return 0;
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  if (size < header_length_) return 0;
  // A writer between its record and its header, or a file cut short: only
  // whole records that are there count.
  std::uint64_t fit = (size - header_length_) / record_length_;
  std::uint64_t n = std::min<std::uint64_t>({count, fit, kMaxRecordCount});
  return static_cast<std::uint32_t>(n);
}

std::uint64_t DbfTable::RecordOffset(std::uint32_t record) const {
  return header_length_ + static_cast<std::uint64_t>(record - 1) * record_length_;
}

void DbfTable::StandPastEnd(std::uint32_t count) {
  position_ = count + 1;
  eof_ = true;
  std::fill(record_.begin(), record_.end(), ' ');
  ResetRecord();
}

Status DbfTable::LoadRecord(std::uint32_t record) {
  if (!ReadExact(RecordOffset(record), record_.data(), record_length_)) {
    return Fail(StringPrintf(kRecordUnreadableFormat, path_.c_str(), record));
  }
  position_ = record;
  eof_ = false;
  bof_ = false;
  ResetRecord();
  return {};
}

Status DbfTable::Go(std::uint32_t record) {
  if (fd_ < 0) return Fail(kNotOpen);
  // Changes that cannot be written are dropped with the move: staying would
  // let the caller's next change land on the wrong record.
  Status flushed = Flush();
  std::uint32_t count = RecordCount();
  bof_ = false;
  if (record < 1 || record > count) {
    StandPastEnd(count);
    return Fail(StringPrintf(kNoRecordFormat, path_.c_str(), static_cast<long>(record), count));
  }
  if (Status loaded = LoadRecord(record); !loaded) {
    StandPastEnd(count);
    return loaded;
  }
  return flushed;
}

Status DbfTable::Top() {
  if (fd_ < 0) return Fail(kNotOpen);
  std::uint32_t count = RecordCount();
  if (count > 0) return Go(1);
  Status flushed = Flush();
  StandPastEnd(0);
  bof_ = true;
  return flushed;
}

Status DbfTable::Bottom() {
  if (fd_ < 0) return Fail(kNotOpen);
  std::uint32_t count = RecordCount();
  if (count > 0) return Go(count);
  Status flushed = Flush();
  StandPastEnd(0);
  bof_ = true;
  return flushed;
}

Status DbfTable::Skip(long count) {
  if (fd_ < 0) return Fail(kNotOpen);
  long step = std::clamp(count, -kMaxSkip, kMaxSkip);
  std::uint32_t records = RecordCount();
  long target = static_cast<long>(position_) + step;
  if (target < 1) {
    Status top = Top();
    bof_ = true;
    return top;
  }
  if (target > static_cast<long>(records)) {
    Status flushed = Flush();
    StandPastEnd(records);
    return flushed;
  }
  return Go(static_cast<std::uint32_t>(target));
}

std::string_view DbfTable::RawField(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size()) return {};
  const dbf::Field& f = fields_[static_cast<std::size_t>(index)];
  return std::string_view(record_.data() + f.offset, f.length);
}

std::string DbfTable::Text(int index) const {
  std::string_view raw = RawField(index);
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\0')) raw.remove_suffix(1);
  return std::string(raw);
}

Result<long> DbfTable::Integer(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
    return Fail(StringPrintf(kNoFieldFormat, path_.c_str(), index));
  if (long value = 0; dbf::ParseNumber(RawField(index), value)) return value;
  std::string_view shown = RawField(index).substr(0, 40);
  return Fail(StringPrintf(kNotNumberFormat, path_.c_str(), static_cast<int>(shown.size()),
                           shown.data(), fields_[static_cast<std::size_t>(index)].name.c_str()));
}

bool DbfTable::Deleted() const {
  return !eof_ && !record_.empty() && record_[0] == dbf::kDeletedFlag;
}

Status DbfTable::SetRaw(int index, std::string_view bytes) {
  if (fd_ < 0) return Fail(kNotOpen);
  if (eof_) return Fail(StringPrintf(kPastEndFormat, path_.c_str()));
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
    return Fail(StringPrintf(kNoFieldFormat, path_.c_str(), index));
  const dbf::Field& f = fields_[static_cast<std::size_t>(index)];
  char* out = record_.data() + f.offset;
  std::size_t n = std::min(bytes.size(), f.length);
  std::memcpy(out, bytes.data(), n);
  std::memset(out + n, ' ', f.length - n);
  dirty_fields_[static_cast<std::size_t>(index)] = true;
  return {};
}

Status DbfTable::SetText(int index, std::string_view value) {
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
    return Fail(StringPrintf(kNoFieldFormat, path_.c_str(), index));
  const dbf::Field& f = fields_[static_cast<std::size_t>(index)];
  if (!IsNumeric(f)) return SetRaw(index, value);
  std::string bytes;
  if (!dbf::FormatNumberText(value, f.length, f.decimals, bytes)) {
    std::string_view shown = value.substr(0, 40);
    return Fail(StringPrintf(kNotNumberFormat, path_.c_str(), static_cast<int>(shown.size()),
                             shown.data(), f.name.c_str()));
  }
  return SetRaw(index, bytes);
}

Status DbfTable::SetInteger(int index, long value) {
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size())
    return Fail(StringPrintf(kNoFieldFormat, path_.c_str(), index));
  const dbf::Field& f = fields_[static_cast<std::size_t>(index)];
  std::string bytes;
  if (IsNumeric(f)) {
    if (!dbf::FormatInteger(value, f.length, f.decimals, bytes)) {
      return Fail(StringPrintf(kTooWideFormat, path_.c_str(), f.name.c_str()));
    }
  } else if (f.type == 'C') {
    bytes = std::to_string(value);
    if (bytes.size() > f.length)
      return Fail(StringPrintf(kTooWideFormat, path_.c_str(), f.name.c_str()));
  } else {
    return Fail(StringPrintf(kNoNumberFieldFormat, path_.c_str(), f.name.c_str()));
  }
  return SetRaw(index, bytes);
}

Status DbfTable::SetDeleted(bool deleted) {
  if (fd_ < 0) return Fail(kNotOpen);
  if (eof_) return Fail(StringPrintf(kPastEndFormat, path_.c_str()));
  record_[0] = deleted ? dbf::kDeletedFlag : dbf::kLiveFlag;
  flag_dirty_ = true;
  return {};
}

Status DbfTable::BlankRecord() {
  if (fd_ < 0) return Fail(kNotOpen);
  if (eof_) return Fail(StringPrintf(kPastEndFormat, path_.c_str()));
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    std::memset(record_.data() + fields_[i].offset, ' ', fields_[i].length);
    dirty_fields_[i] = true;
  }
  return {};
}

bool DbfTable::HasPendingChanges() const {
  return flag_dirty_ ||
         std::find(dirty_fields_.begin(), dirty_fields_.end(), true) != dirty_fields_.end();
}

Status DbfTable::WriteHeaderDate() {
  int year, month, day;
  Today(year, month, day);
  unsigned char date[3];
  dbf::PutDate(date, year, month, day);
  return WriteExact(dbf::kDateOffset, date, sizeof date);
}

Status DbfTable::ReadMerged(std::vector<char>& merged) {
  merged.resize(record_length_);
  if (!ReadExact(RecordOffset(position_), merged.data(), merged.size())) {
    return Fail(StringPrintf(kRecordUnreadableFormat, path_.c_str(), position_));
  }
  if (flag_dirty_) merged[0] = record_[0];
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (!dirty_fields_[i]) continue;
    std::memcpy(merged.data() + fields_[i].offset, record_.data() + fields_[i].offset,
                fields_[i].length);
  }
  return {};
}

Status DbfTable::Flush() {
  if (!HasPendingChanges()) return {};
  if (fd_ < 0) return Fail(kNotOpen);
  if (eof_) return Fail(StringPrintf(kPastEndFormat, path_.c_str()));
  if (read_only_)
    return Fail(StringPrintf(kReadOnlyFormat, path_.c_str(), read_only_reason_.c_str()));
  std::uint64_t offset = RecordOffset(position_);
  DbfRangeLock lock(*this, offset, record_length_);
  if (!lock.ok()) {
    return FailLock(lock.error());
  }
  std::vector<char> merged;
  if (Status read = ReadMerged(merged); !read) return read;
  if (Status written = WriteExact(offset, merged.data(), merged.size()); !written)
    return FailErrno(kWhatWrite, written.error());
  record_.swap(merged);
  ResetRecord();
  // The record is safe; the date is only a hint to other programs, so a
  // failure to stamp it is not worth failing the change for.
  (void)WriteHeaderDate();
  return {};
}

Status DbfTable::Append() {
  if (fd_ < 0) return Fail(kNotOpen);
  if (read_only_)
    return Fail(StringPrintf(kReadOnlyFormat, path_.c_str(), read_only_reason_.c_str()));
  if (Status flushed = Flush(); !flushed) return flushed;
  DbfRangeLock header_lock(*this, 0, header_length_);
  if (!header_lock.ok()) {
    return FailLock(header_lock.error());
  }
  std::uint32_t count = 0;
  struct stat st {};
  if (!ReadHeaderCount(count)) return FailErrno(kWhatRead, errno);
  if (fstat(fd_, &st) != 0) return FailErrno(kWhatStat, errno);
  std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t fit = size < header_length_ ? 0 : (size - header_length_) / record_length_;
  if (count > fit) {
    // Appending after a gap would leave records of zeros for other programs.
    return Fail(
        StringPrintf(kCountBeyondDataFormat, path_.c_str(), count, static_cast<unsigned>(fit)));
  }
  if (count >= kMaxRecordCount) return Fail(StringPrintf(kTableFullFormat, path_.c_str()));
  std::uint32_t record = count + 1;
  std::uint64_t offset = RecordOffset(record);
  DbfRangeLock record_lock(*this, offset, record_length_);
  if (!record_lock.ok()) {
    return FailLock(record_lock.error());
  }
  // The record goes down before the count that makes it visible, so a reader
  // never counts a record that is not there yet.
  std::vector<char> bytes(record_length_ + 1, ' ');
  bytes.back() = static_cast<char>(dbf::kEndOfFileMarker);
  if (Status written = WriteExact(offset, bytes.data(), bytes.size()); !written)
    return FailErrno(kWhatWrite, written.error());
  unsigned char stamp[7];
  int year, month, day;
  Today(year, month, day);
  dbf::PutDate(stamp, year, month, day);
  dbf::PutU32(stamp + 3, record);
  if (Status written = WriteExact(dbf::kDateOffset, stamp, sizeof stamp); !written)
    return FailErrno(kWhatWrite, written.error());
  std::fill(record_.begin(), record_.end(), ' ');
  position_ = record;
  eof_ = false;
  bof_ = false;
  ResetRecord();
  return {};
}

Status DbfTable::Pack() {
  if (fd_ < 0) return Fail(kNotOpen);
  if (read_only_)
    return Fail(StringPrintf(kReadOnlyFormat, path_.c_str(), read_only_reason_.c_str()));
  if (Status flushed = Flush(); !flushed) return flushed;
  {
    DbfRangeLock whole(*this, 0, 0);
    if (!whole.ok()) return FailLock(whole.error());
    std::uint32_t count = RecordCount();
    std::vector<char> record(record_length_);
    std::uint32_t kept = 0;
    for (std::uint32_t i = 1; i <= count; ++i) {
      if (!ReadExact(RecordOffset(i), record.data(), record.size())) {
        return Fail(StringPrintf(kRecordUnreadableFormat, path_.c_str(), i));
      }
      if (record[0] == dbf::kDeletedFlag) continue;
      ++kept;
      if (kept == i) continue;
      if (Status written = WriteExact(RecordOffset(kept), record.data(), record.size()); !written)
        return FailErrno(kWhatWrite, written.error());
    }
    unsigned char stamp[7];
    int year, month, day;
    Today(year, month, day);
    dbf::PutDate(stamp, year, month, day);
    dbf::PutU32(stamp + 3, kept);
    std::uint64_t end = RecordOffset(kept + 1);
    const char marker = static_cast<char>(dbf::kEndOfFileMarker);
    Status written = WriteExact(dbf::kDateOffset, stamp, sizeof stamp);
    if (written) written = WriteExact(end, &marker, 1);
    if (!written) return FailErrno(kWhatWrite, written.error());
    if (ftruncate(fd_, static_cast<off_t>(end + 1)) != 0) return FailErrno(kWhatTruncate, errno);
  }
  return Top();
}

// Leaves the file's mutex held until Unlock: a span the analysis cannot
// follow across the two calls.
Status DbfTable::Lock() NO_THREAD_SAFETY_ANALYSIS {
  if (fd_ < 0) return Fail(kNotOpen);
  if (table_locked_) return {};
  LockClock::time_point deadline = LockDeadline();
  if (!file_locks_->mutex.TryLockUntil(deadline)) return FailLock(ETIMEDOUT);
  if (file_locks_->whole == 0) {
    int error = SetLockBefore(fd_, read_only_ ? F_RDLCK : F_WRLCK, 0, 0, deadline);
    if (error != 0) {
      file_locks_->mutex.Unlock();
      return FailLock(error);
    }
    ++file_locks_->held;
  }
  ++file_locks_->whole;
  table_locked_ = true;
  // The record was read before the lock; what is read from it under the lock
  // must be what is on disk now (with our own unwritten changes kept).
  if (!eof_) {
    std::vector<char> fresh;
    if (Status read = ReadMerged(fresh); !read) {
      Unlock();
      return read;
    }
    record_.swap(fresh);
  }
  return {};
}

void DbfTable::Unlock() {
  if (!table_locked_) return;
  file_locks_->mutex.AssertHeld();  // taken by Lock
  table_locked_ = false;
  if (--file_locks_->whole == 0) {
    DropLock(fd_, 0, 0);
    --file_locks_->held;
    file_locks_->CloseWaiting();
  }
  file_locks_->mutex.Unlock();
}

}  // namespace platform

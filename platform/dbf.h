#pragma once
// A small engine for dBase III tables (character and numeric fields; other
// field types are carried as raw text), shared with the alarm server: it
// writes the same tables while we do. So nothing is cached beyond the current
// record, the record count is re-read from the header whenever it matters
// (and cut to the whole records in the file: a writer may be between its
// two writes, or have died there), and a change writes only its own
// record's bytes (and the header's date) under a byte-range fcntl lock on
// the record's range (the header's range as well when appending). Before
// writing, the record is read again under that lock and only the fields
// changed here are laid over it, so a change the other program made to
// another field of the same record stays. A lock is waited for at most 5 s;
// the operation then fails with a line saying the table stayed locked.
//
// fcntl locks belong to the process, not to a descriptor, so they do not keep
// two threads of this process apart, and closing any descriptor of a file
// drops every lock the process holds on it. One in-process mutex per file
// (by device and inode, kept while a table of the file is open) therefore
// guards every locked stretch and every close, and a descriptor closed while this process still
// holds a lock on its file is kept open until that lock ends. A table object is used by one thread
// at a time. fcntl locks do not pass to a child process; a child made by fork while a table was
// locked must not use the engine.
//
// Errors are values: an operation that fails returns a platform::Status
// whose reason is one line naming the file. No input file, however broken,
// makes the engine allocate more than the 16-bit header and record lengths
// allow.
//
// Tables are opened by name without regard to case (ResolveFileNameCase in
// platform/paths.h): "A1.DBF" on disk is found when "a1.dbf" is asked for.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dbf_format.h"
#include "platform/status.h"

namespace platform {

struct DbfFileLocks;

// Describes one field of a table to create: 'C' (character, 1 to 254) or
// 'N' (numeric, 1 to 20 wide, up to 15 decimals).
struct DbfFieldSpec {
  std::string_view name;
  char type = 'C';
  unsigned length = 0;
  unsigned decimals = 0;
};

class DbfTable {
 public:
  DbfTable() = default;
  ~DbfTable();
  // A copy opens the same file anew and stands on the same record, with the
  // same unwritten changes; it holds no locks.
  DbfTable(const DbfTable& other);
  DbfTable& operator=(const DbfTable& other);

  // Opens an existing table for reading and writing (read only when the file
  // may not be written) and stands on the first record. The last part of
  // `path` is matched without regard to case; Path() is the file found.
  // Fails when the file cannot be opened at all (FileUnavailable() then
  // holds until the next Open: missing, no permission) or does not hold a
  // readable table.
  Status Open(const std::string& path);
  // Creates (replacing any file of that name) and opens an empty table.
  Status Create(const std::string& path, std::span<const DbfFieldSpec> fields);
  // Writes pending changes, drops the locks and closes the file. Fails when
  // the pending changes could not be written (the file is closed anyway).
  Status Close();

  bool IsOpen() const { return fd_ >= 0; }
  bool ReadOnly() const { return read_only_; }
  bool FileUnavailable() const { return file_unavailable_; }
  const std::string& Path() const { return path_; }

  const std::vector<dbf::Field>& Fields() const { return fields_; }
  // Index of the field (names compare without regard to case), or -1.
  int FieldIndex(std::string_view name) const;

  // Records in the file now (another program may have appended some).
  std::uint32_t RecordCount();
  // Current record, from 1; RecordCount() + 1 when past the end.
  std::uint32_t Position() const { return position_; }
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }

  // Positioning writes the pending changes of the record left behind first.
  // Go to a record that does not exist fails and leaves the table past its
  // end, so that no later change lands on a record nobody meant.
  Status Go(std::uint32_t record);
  Status Top();
  Status Bottom();
  // Moves by `count` records; past either end it stops at end of file or at
  // the first record (Bof()). Fails when a record could not be read.
  Status Skip(long count);

  // The current record's bytes of a field (blank past the end).
  std::string_view RawField(int index) const;
  // The field's text without trailing blanks.
  std::string Text(int index) const;
  // The field's number; a failure naming the field when it holds no number.
  Result<long> Integer(int index) const;
  bool Deleted() const;

  // Changes to the current record; they are written by Flush() (or by moving
  // to another record). Fails when the value cannot be stored in the field
  // or there is no current record; the field is then unchanged.
  Status SetText(int index, std::string_view value);
  Status SetInteger(int index, long value);
  Status SetRaw(int index, std::string_view bytes);
  Status SetDeleted(bool deleted);
  Status BlankRecord();
  bool HasPendingChanges() const;

  // Writes the pending changes of the current record; success when there
  // were none.
  Status Flush();
  // Appends a blank record and stands on it.
  Status Append();
  // Removes the records marked deleted, under a lock of the whole file, and
  // stands on the first record.
  Status Pack();
  // Locks the whole file until Unlock() (or Close()) and reads the current
  // record again, so that a read-then-change under the lock is one step;
  // changes made meanwhile need no further lock.
  Status Lock();
  void Unlock();
  bool Locked() const { return table_locked_; }

 private:
  friend class DbfRangeLock;

  static Status Fail(std::string message) { return Status::Failure(std::move(message)); }
  // A failed system call on the file: `what` and the system's words for `error`.
  Status FailErrno(const char* what, int error) const;
  // A lock that could not be had: `error` is an errno, ETIMEDOUT for a wait
  // that reached its deadline.
  Status FailLock(int error) const;
  void Reset();
  void ResetRecord();
  bool ReadExact(std::uint64_t offset, void* data, std::size_t size);
  Status WriteExact(std::uint64_t offset, const void* data, std::size_t size);
  Status LoadRecord(std::uint32_t record);
  bool ReadHeaderCount(std::uint32_t& count);
  Status WriteHeaderDate();
  // The current record as on disk now, with this table's unwritten changes
  // laid over it.
  Status ReadMerged(std::vector<char>& merged);
  std::uint64_t RecordOffset(std::uint32_t record) const;
  void StandPastEnd(std::uint32_t count);

  int fd_ = -1;
  std::string path_;
  bool read_only_ = false;
  std::string read_only_reason_;  // why the file could not be opened for writing
  bool file_unavailable_ = false;
  bool table_locked_ = false;
  DbfFileLocks* file_locks_ = nullptr;  // shared by the open tables of the file

  std::size_t header_length_ = 0;
  std::size_t record_length_ = 0;
  std::vector<dbf::Field> fields_;

  std::uint32_t position_ = 0;
  bool eof_ = true;
  bool bof_ = false;
  std::vector<char> record_;        // the current record as read (plus changes)
  std::vector<bool> dirty_fields_;  // fields changed here and not yet written
  bool flag_dirty_ = false;         // deleted flag changed here
};

// Files the per-file lock registry holds an entry for now (one per file with
// an open table); for tests that check entries are freed.
std::size_t DbfLockRegistrySize();

}  // namespace platform

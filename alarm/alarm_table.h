#pragma once
// AlarmTable: one open xBase table of the alarm server (a per-alarm table or
// the alarm definitions in "vm001.dbf"), on top of our dbf engine
// (platform/dbf.h). Records are numbered from 1. An operation that fails
// returns a platform::Status whose reason is the gateway's line for it,
// "Error: <operation> - <why>", and writes nothing: its caller decides
// whether the line is reported (at level 3 through ReportToInterface) and
// goes on. A table that cannot be opened at all (FileUnavailable()) is for
// the caller to tell in its own words.
//
// Every change is written at once while auto-flush is on (it is after Open)
// and touches only its own record, under a lock of that record's bytes, so
// the alarm server and our other threads may write the same table meanwhile.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "platform/dbf.h"
#include "platform/status.h"

namespace alarms {

// Field list of AlarmTable::Create: name, type ('C' or 'N'), length, decimals.
struct TableField {
  const char* name;
  int type;
  unsigned len;
  unsigned dec;
};

class AlarmTable {
 public:
  // Caption of every error line.
  static constexpr const char* kErrorCaption = "Error";

  AlarmTable();
  // A copy opens the same table anew and stands on the same record.
  AlarmTable(const AlarmTable& other) = default;
  AlarmTable& operator=(const AlarmTable& other) = default;
  // Releases the file; pending changes are written first, as Close does.
  virtual ~AlarmTable();

  // Closes an open table, opens `path` and stands on its first record.
  // Fails when the table cannot be opened (FileUnavailable(): missing, no
  // permission) or read (a file that is there but holds no readable table).
  virtual platform::Status Open(const char* path);
  // Replaces any file of that path by an empty table of `fields` and opens it.
  virtual platform::Status Create(const char* path, std::span<const TableField> fields);
  // Writes pending changes, frees the field cache, closes the table. Fails
  // ("CDatabase::Flush") when pending changes could not be written (the
  // table is closed all the same), so that a caller that writes by closing
  // (auto-flush off) learns whether its record reached the file.
  virtual platform::Status Close();
  // Whether the last Open failed because the file could not be opened at all.
  bool FileUnavailable() const { return table_.FileUnavailable(); }

  // Positioning. Top and Bottom of an empty table stand at its end without
  // complaint. A Go to a record that does not exist leaves the table at its
  // end, where no change can be made.
  virtual platform::Status Top();
  virtual platform::Status Bottom();
  virtual platform::Status Go(long record);
  // Moves by `count` records and gives the record number reached
  // (RecCount() + 1 at the end, 1 when moving before the first record).
  virtual platform::Result<long> Skip(long count);
  virtual long RecNo();
  virtual long RecCount();

  // Locks the whole table until Unlock (or the next change, which ends with
  // an unlock).
  virtual platform::Status Lock();
  virtual void Unlock();
  virtual void SetFlush(int flag);
  // Writes pending changes of the current record, then unlocks.
  virtual platform::Status Flush();

  virtual int IsField(const char* name);
  // From the current record on, the number of the first record whose field
  // equals `value` (texts without trailing blanks); 0 at the end of the table
  // or for an unknown field. The table stands on the record found, or at its
  // end.
  virtual platform::Result<long> Find(const char* field, long value);
  virtual platform::Result<long> Find(const char* field, const char* value);

  // The field's numeric value; fails for an unknown field or a field that
  // holds no number (`value` is then 0).
  virtual platform::Status Read(const char* field, long& value);
  // The field's text without trailing blanks, cut to `size` - 1 bytes and
  // terminated; fails for an unknown field (`text` then empty).
  virtual platform::Status Read(const char* field, char* text, std::size_t size);
  virtual platform::Status Read(const char* field, std::string& text);

  // Assigns the field of the current record and, with auto-flush, writes it;
  // then unlocks. Fails for an unknown field, a value the field cannot hold
  // or no current record (nothing changes), and when the write failed.
  virtual platform::Status Replace(const char* field, long value);
  virtual platform::Status Replace(const char* field, const char* value);

  // Appends a blank record and stands on it.
  virtual platform::Status Append();
  // Blank all fields, mark deleted, unmark; written at once with auto-flush.
  virtual platform::Status Blank();
  virtual platform::Status Delete();
  virtual platform::Status Recall();
  // Removes the records marked deleted.
  virtual platform::Status Pack();
  // Copies every field of record `source` over record `target` and stands on
  // the target; fails when either record does not exist.
  virtual platform::Status CopyRecord(long source, long target);

  // Name of field `number` (from 1), "" when there is no such field.
  const char* Fieldname(unsigned number) const;
  // Length of the field, 0 for an unknown field.
  unsigned FieldLength(const char* name) const;
  bool IsOpen() const { return table_.IsOpen(); }
  // The file that was opened (its name as found on disk, whatever the case
  // asked for).
  const std::string& Path() const { return table_.Path(); }
  // Number of fields of the open table.
  unsigned FieldCount() const { return field_count_; }
  // Whether the current record is marked deleted. Deleted records stay
  // visible to positioning and reading, as in dBase with DELETED off, until
  // Pack removes them.
  int Deleted() const;

  // int forms, so that a literal 0 does not read as a null text.
  platform::Status Read(const char* field, int& value);
  platform::Status Replace(const char* field, int value) {
    return Replace(field, static_cast<long>(value));
  }
  platform::Result<long> Find(const char* field, int value) {
    return Find(field, static_cast<long>(value));
  }

 private:
  struct FieldCacheEntry {
    int index = -1;  // field in the table
    unsigned length = 0;
    std::string buffer;  // length + 1 bytes
  };

  // Builds the field cache of the open table; 0 when one exists already.
  int GetFieldsAddrs();
  // The failure of `operation`: "Error: <operation> - <engine's reason>".
  static platform::Status Failed(const char* operation, const platform::Status& engine);
  int FieldIndexOf(const char* name) const;
  // The failure of `operation` on a field the table does not have.
  platform::Status NoSuchField(const char* operation, const char* name) const;
  // Writes at once when auto-flush is set (the failure is `operation`'s),
  // then unlocks.
  platform::Status WriteAndUnlock(const char* operation);
  // An assignment of `operation`: written with WriteAndUnlock when it was
  // made, else its failure (and an unlock).
  platform::Status Changed(const char* operation, const platform::Status& assigned);

  platform::DbfTable table_;
  unsigned field_count_ = 0;
  unsigned cached_field_count_ = 0;
  std::vector<FieldCacheEntry> field_cache_;
  int auto_flush_ = 0;
};

}  // namespace alarms

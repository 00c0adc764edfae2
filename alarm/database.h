#pragma once
// CDatabase: one open xBase table of the alarm server (a per-alarm table or
// the alarm definitions in "vm001.dbf"), on top of our dbf engine
// (platform/dbf.h). Records are numbered from 1. Engine errors become one
// line at level 3 through ReportToInterface, "Error: <operation> - <why>",
// and never stop the caller: positioning and writing go on with their normal
// result. A table that cannot be opened at all is the caller's to report;
// one that opens but does not hold a readable table is reported here too.
//
// Every change is written at once while auto-flush is on (it is after Open)
// and touches only its own record, under a lock of that record's bytes, so
// the alarm server and our other threads may write the same table meanwhile.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "platform/dbf.h"

// Field list of CDatabase::Create: name, type ('C' or 'N'), length, decimals.
struct FIELD4INFO {
  const char* name;
  int type;
  unsigned len;
  unsigned dec;
};

class CDatabase {
 public:
  // Caption of every error line.
  static constexpr const char* kErrorCaption = "Error";

  CDatabase();
  // A copy opens the same table anew and stands on the same record.
  CDatabase(const CDatabase& other) = default;
  CDatabase& operator=(const CDatabase& other) = default;
  // Releases the file; pending changes are written first, as Close does.
  virtual ~CDatabase();

  // Closes an open table, opens `path` and stands on its first record.
  // 1 on success, 0 when the table cannot be opened or read (a file that is
  // there but holds no readable table is reported).
  virtual int Open(const char* path);
  // Replaces any file of that path by an empty table of `fields` and opens it.
  virtual int Create(const char* path, std::span<const FIELD4INFO> fields);
  // Writes pending changes, frees the field cache, closes the table. 1, or
  // 0 when pending changes could not be written (reported in one line; the
  // table is closed all the same), so that a caller that writes by closing
  // (auto-flush off) learns whether its record reached the file.
  virtual int Close();

  // Positioning: 1 on success, 0 otherwise (reported). Top and Bottom of an
  // empty table stand at its end without complaint. A Go to a record that does
  // not exist leaves the table at its end, where no change can be made.
  virtual int Top();
  virtual int Bottom();
  virtual int Go(long record);
  // Moves by `count` records and returns the record number reached
  // (RecCount() + 1 at the end, 1 when moving before the first record).
  virtual long Skip(long count);
  virtual long RecNo();
  virtual long RecCount();

  // Locks the whole table until Unlock (or the next change, which ends with
  // an unlock); 1 on success.
  virtual int Lock();
  virtual int Unlock();
  virtual void SetFlush(int flag);
  // Writes pending changes of the current record, then unlocks; 1, or 0 when
  // the write failed (reported).
  virtual int Flush();

  virtual int IsField(const char* name);
  // From the current record on, the number of the first record whose field
  // equals `value` (texts without trailing blanks); 0 at the end of the table
  // or for an unknown field. The table stands on the record found, or at its
  // end.
  virtual long Find(const char* field, long value);
  virtual long Find(const char* field, const char* value);

  // The field's numeric value: 1, or 0 for an unknown field or a field that
  // holds no number (reported; `value` is then 0).
  virtual int Read(const char* field, long& value);
  // The field's text without trailing blanks, cut to `size` - 1 bytes and
  // terminated: 1, or 0 for an unknown field (`text` then empty).
  virtual int Read(const char* field, char* text, std::size_t size);
  virtual int Read(const char* field, std::string& text);

  // Assigns the field of the current record and, with auto-flush, writes it;
  // then unlocks. 1; 0 for an unknown field (nothing changes) or a value the
  // field cannot hold or no current record (reported, nothing changes). A
  // failed write is reported and still gives 1.
  virtual int Replace(const char* field, long value);
  virtual int Replace(const char* field, const char* value);

  // Appends a blank record and stands on it; 1 on success, 0 otherwise.
  virtual int Append();
  // Blank all fields, mark deleted, unmark; written at once with auto-flush.
  virtual int Blank();
  virtual int Delete();
  virtual int Recall();
  // Removes the records marked deleted; 1 on success.
  virtual int Pack();
  // Copies every field of record `source` over record `target` and stands on
  // the target; 1, or 0 when either record does not exist (reported).
  virtual int CopyRecord(long source, long target);

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
  int Read(const char* field, int& value);
  int Replace(const char* field, int value) { return Replace(field, static_cast<long>(value)); }
  long Find(const char* field, int value) { return Find(field, static_cast<long>(value)); }

 private:
  struct FieldCacheEntry {
    int index = -1;  // field in the table
    unsigned length = 0;
    std::string buffer;  // length + 1 bytes
  };

  // Builds the field cache of the open table; 0 when one exists already.
  int GetFieldsAddrs();
  // One error line "Error: <operation> - <engine's reason>".
  void ShowError(const char* operation) const;
  int FieldIndexOf(const char* name) const;
  // Writes at once when auto-flush is set (reporting `operation` on error),
  // then unlocks.
  void WriteAndUnlock(const char* operation);

  platform::DbfTable table_;
  unsigned field_count_ = 0;
  unsigned cached_field_count_ = 0;
  std::vector<FieldCacheEntry> field_cache_;
  int auto_flush_ = 0;
};

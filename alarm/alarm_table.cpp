#include "alarm/alarm_table.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/console.h"
#include "core/report.h"
#include "platform/strings.h"

namespace alarms {

namespace {

// "<caption>: <operation> - <reason>"
static constexpr const char* kErrorLineFormat = "%s: %s - %s";

static constexpr const char* kOpOpen = "CDatabase::Open";
static constexpr const char* kOpCreate = "CDatabase::Create";
static constexpr const char* kOpTop = "CDatabase::Top";
static constexpr const char* kOpBottom = "CDatabase::Bottom";
static constexpr const char* kOpGo = "CDatabase::Go";
static constexpr const char* kOpSkip = "CDatabase::Skip";
static constexpr const char* kOpLock = "CDatabase::Lock";
static constexpr const char* kOpFlush = "CDatabase::Flush";
static constexpr const char* kOpRead = "CDatabase::Read";
static constexpr const char* kOpReplace = "CDatabase::Replace";
static constexpr const char* kOpAppend = "CDatabase::Append";
static constexpr const char* kOpBlank = "CDatabase::Blank";
static constexpr const char* kOpDelete = "CDatabase::Delete";
static constexpr const char* kOpRecall = "CDatabase::Recall";
static constexpr const char* kOpPack = "CDatabase::Pack";
static constexpr const char* kOpCopyRecord = "CDatabase::CopyRecord";

static constexpr const char* kNoFieldFormat = "%s: no field %s";

// Records are counted in 32 bits in the file; larger numbers name none.
constexpr long kMaxRecordNumber = 0xFFFFFFFFL;

}  // namespace

AlarmTable::AlarmTable() = default;

AlarmTable::~AlarmTable() {
  // The file is released with the object; changes still pending (auto-flush
  // off) are written. No caller is left to hear of a failure to write them,
  // so it is reported here, as Close's would be.
  if (!table_.IsOpen()) return;
  if (platform::Status closed = table_.Close(); !closed)
    core::ReportToInterface(Failed(kOpFlush, closed).reason(), core::ReportLevel::kError);
}

platform::Status AlarmTable::Failed(const char* operation, const platform::Status& engine) {
  std::string line =
      platform::StringPrintf(kErrorLineFormat, kErrorCaption, operation, engine.reason().c_str());
  line.resize(std::min(line.size(), core::kFormattedLineMax));  // as every formatted line
  return platform::Status::Failure(std::move(line), engine.error());
}

platform::Status AlarmTable::NoSuchField(const char* operation, const char* name) const {
  return Failed(operation, platform::Status::Failure(platform::StringPrintf(
                               kNoFieldFormat, table_.Path().c_str(), name ? name : "")));
}

int AlarmTable::GetFieldsAddrs() {
  if (!field_cache_.empty()) return 0;
  const auto& fields = table_.Fields();
  field_cache_.resize(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    FieldCacheEntry& e = field_cache_[i];
    e.index = static_cast<int>(i);
    e.length = static_cast<unsigned>(fields[i].length);
    e.buffer.assign(e.length + 1, '\0');
  }
  cached_field_count_ = static_cast<unsigned>(field_cache_.size());
  return 1;
}

platform::Status AlarmTable::Open(const char* path) {
  (void)Close();  // a failed write of the table before was its own caller's to flush
  if (platform::Status opened = table_.Open(path ? path : ""); !opened)
    return Failed(kOpOpen, opened);
  GetFieldsAddrs();
  field_count_ = static_cast<unsigned>(table_.Fields().size());
  auto_flush_ = 1;
  return {};
}

platform::Status AlarmTable::Create(const char* path, std::span<const TableField> fields) {
  (void)Close();
  std::vector<platform::DbfFieldSpec> specs;
  specs.reserve(fields.size());
  for (const TableField& f : fields) {
    specs.push_back({f.name ? f.name : "", static_cast<char>(f.type), f.len, f.dec});
  }
  if (platform::Status made = table_.Create(path ? path : "", specs); !made)
    return Failed(kOpCreate, made);
  // The engine left the new table open; opening it through Open builds the
  // field cache and sets auto-flush like any other table.
  (void)table_.Close();
  return Open(path);
}

platform::Status AlarmTable::Close() {
  platform::Status closed = table_.Close();
  field_cache_.clear();
  cached_field_count_ = 0;
  field_count_ = 0;
  if (!closed) return Failed(kOpFlush, closed);
  return {};
}

platform::Status AlarmTable::Top() {
  if (platform::Status moved = table_.Top(); !moved) return Failed(kOpTop, moved);
  return {};
}

platform::Status AlarmTable::Bottom() {
  if (platform::Status moved = table_.Bottom(); !moved) return Failed(kOpBottom, moved);
  return {};
}

platform::Status AlarmTable::Go(long record) {
  if (table_.IsOpen() && (record < 1 || record > kMaxRecordNumber)) {
    // Let the engine refuse it, so the table stands at its end as for any
    // record that does not exist.
    record = 0;
  }
  if (platform::Status moved = table_.Go(static_cast<std::uint32_t>(record)); !moved)
    return Failed(kOpGo, moved);
  return {};
}

platform::Result<long> AlarmTable::Skip(long count) {
  if (platform::Status moved = table_.Skip(count); !moved) return Failed(kOpSkip, moved);
  return RecNo();
}

long AlarmTable::RecNo() { return table_.IsOpen() ? static_cast<long>(table_.Position()) : 0; }

long AlarmTable::RecCount() { return static_cast<long>(table_.RecordCount()); }

platform::Status AlarmTable::Lock() {
  if (platform::Status locked = table_.Lock(); !locked) return Failed(kOpLock, locked);
  return {};
}

void AlarmTable::Unlock() { table_.Unlock(); }

void AlarmTable::SetFlush(int flag) { auto_flush_ = flag; }

platform::Status AlarmTable::Flush() {
  platform::Status flushed = table_.Flush();
  Unlock();
  if (!flushed) return Failed(kOpFlush, flushed);
  return {};
}

int AlarmTable::FieldIndexOf(const char* name) const { return name ? table_.FieldIndex(name) : -1; }

int AlarmTable::IsField(const char* name) { return FieldIndexOf(name) >= 0 ? 1 : 0; }

platform::Result<long> AlarmTable::Find(const char* field, long value) {
  int index = FieldIndexOf(field);
  if (index < 0) return 0L;
  while (!table_.Eof()) {
    // A field holding no number simply does not match.
    if (platform::Result<long> current = table_.Integer(index); current && *current == value)
      return RecNo();
    if (platform::Status moved = table_.Skip(1); !moved) return Failed(kOpSkip, moved);
  }
  return 0L;
}

platform::Result<long> AlarmTable::Find(const char* field, const char* value) {
  int index = FieldIndexOf(field);
  if (index < 0 || !value) return 0L;
  std::string wanted(value);
  while (!wanted.empty() && wanted.back() == ' ') wanted.pop_back();
  while (!table_.Eof()) {
    if (table_.Text(index) == wanted) return RecNo();
    if (platform::Status moved = table_.Skip(1); !moved) return Failed(kOpSkip, moved);
  }
  return 0L;
}

platform::Status AlarmTable::Read(const char* field, long& value) {
  value = 0;
  int index = FieldIndexOf(field);
  if (index < 0) return NoSuchField(kOpRead, field);
  platform::Result<long> number = table_.Integer(index);
  if (!number) return Failed(kOpRead, number.status());
  value = *number;
  return {};
}

platform::Status AlarmTable::Read(const char* field, int& value) {
  long wide = 0;
  platform::Status result = Read(field, wide);
  value = static_cast<int>(wide < INT_MIN ? INT_MIN : wide > INT_MAX ? INT_MAX : wide);
  return result;
}

platform::Status AlarmTable::Read(const char* field, std::string& text) {
  text.clear();
  int index = FieldIndexOf(field);
  if (index < 0) return NoSuchField(kOpRead, field);
  // Through the field's cache buffer, as every text read goes.
  FieldCacheEntry& entry = field_cache_[static_cast<std::size_t>(index)];
  std::string value = table_.Text(index);
  entry.buffer.assign(value);
  entry.buffer.resize(entry.length + 1, '\0');
  text = value;
  return {};
}

platform::Status AlarmTable::Read(const char* field, char* text, std::size_t size) {
  if (text && size > 0) text[0] = '\0';
  std::string value;
  if (platform::Status read = Read(field, value); !read) return read;
  if (text && size > 0) {
    std::size_t n = std::min(value.size(), size - 1);
    std::memcpy(text, value.data(), n);
    text[n] = '\0';
  }
  return {};
}

platform::Status AlarmTable::WriteAndUnlock(const char* operation) {
  platform::Status written;
  if (auto_flush_) written = table_.Flush();
  Unlock();
  if (!written) return Failed(operation, written);
  return {};
}

platform::Status AlarmTable::Changed(const char* operation, const platform::Status& assigned) {
  if (assigned) return WriteAndUnlock(operation);
  Unlock();
  return Failed(operation, assigned);
}

platform::Status AlarmTable::Replace(const char* field, long value) {
  int index = FieldIndexOf(field);
  if (index < 0) return NoSuchField(kOpReplace, field);
  return Changed(kOpReplace, table_.SetInteger(index, value));
}

platform::Status AlarmTable::Replace(const char* field, const char* value) {
  int index = FieldIndexOf(field);
  if (index < 0) return NoSuchField(kOpReplace, field);
  return Changed(kOpReplace, table_.SetText(index, value ? value : ""));
}

platform::Status AlarmTable::Append() {
  platform::Status appended = table_.Append();
  Unlock();
  if (!appended) return Failed(kOpAppend, appended);
  return {};
}

platform::Status AlarmTable::Blank() { return Changed(kOpBlank, table_.BlankRecord()); }

platform::Status AlarmTable::Delete() { return Changed(kOpDelete, table_.SetDeleted(true)); }

platform::Status AlarmTable::Recall() { return Changed(kOpRecall, table_.SetDeleted(false)); }

platform::Status AlarmTable::Pack() {
  platform::Status packed = table_.Pack();
  Unlock();
  if (!packed) return Failed(kOpPack, packed);
  return {};
}

platform::Status AlarmTable::CopyRecord(long source, long target) {
  if (platform::Status there = Go(source); !there) return there;
  for (FieldCacheEntry& e : field_cache_) {
    std::string_view raw = table_.RawField(e.index);
    e.buffer.assign(raw);
    e.buffer.push_back('\0');
  }
  if (platform::Status there = Go(target); !there) return there;
  // Standing on a record, every field of the table takes its own bytes.
  for (const FieldCacheEntry& e : field_cache_)
    (void)table_.SetRaw(e.index, std::string_view(e.buffer.data(), e.length));
  return WriteAndUnlock(kOpCopyRecord);
}

const char* AlarmTable::Fieldname(unsigned number) const {
  const auto& fields = table_.Fields();
  if (number < 1 || number > fields.size()) return "";
  return fields[number - 1].name.c_str();
}

unsigned AlarmTable::FieldLength(const char* name) const {
  int index = FieldIndexOf(name);
  if (index < 0) return 0;
  return static_cast<unsigned>(table_.Fields()[static_cast<std::size_t>(index)].length);
}

int AlarmTable::Deleted() const { return table_.Deleted() ? 1 : 0; }

}  // namespace alarms

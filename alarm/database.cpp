#include "alarm/database.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/console.h"
#include "core/report.h"

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

static constexpr const char* kNoTable = "no table is open";

// Records are counted in 32 bits in the file; larger numbers name none.
constexpr long kMaxRecordNumber = 0xFFFFFFFFL;

}  // namespace

CDatabase::CDatabase() = default;

CDatabase::~CDatabase() {
  // The file is released with the object; changes still pending (auto-flush
  // off) are written, and a failure to write them is reported like Close's.
  if (table_.IsOpen() && !table_.Close()) ShowError(kOpFlush);
}

void CDatabase::ShowError(const char* operation) const {
  const std::string& reason = table_.LastError();
  ReportToInterfaceF(ReportLevel::kError, kErrorLineFormat, kErrorCaption, operation,
                     reason.empty() ? kNoTable : reason.c_str());
}

int CDatabase::GetFieldsAddrs() {
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

int CDatabase::Open(const char* path) {
  Close();
  if (!path || !table_.Open(path)) {
    // A missing or unreadable file is the caller's to report; a file that is
    // there but is no table we can read is worth a line of its own.
    if (path && !table_.FileUnavailable()) ShowError(kOpOpen);
    return 0;
  }
  if (!GetFieldsAddrs()) {
    table_.Close();
    return 0;
  }
  field_count_ = static_cast<unsigned>(table_.Fields().size());
  auto_flush_ = 1;
  return 1;
}

int CDatabase::Create(const char* path, std::span<const FIELD4INFO> fields) {
  Close();
  std::vector<platform::DbfFieldSpec> specs;
  specs.reserve(fields.size());
  for (const FIELD4INFO& f : fields) {
    specs.push_back({f.name ? f.name : "", static_cast<char>(f.type), f.len, f.dec});
  }
  if (!path || !table_.Create(path, specs)) {
    ShowError(kOpCreate);
    return 0;
  }
  // The engine left the new table open; opening it through Open builds the
  // field cache and sets auto-flush like any other table.
  table_.Close();
  return Open(path);
}

int CDatabase::Close() {
  int result = 1;
  if (table_.IsOpen() && !table_.Close()) {
    ShowError(kOpFlush);
    result = 0;
  }
  field_cache_.clear();
  cached_field_count_ = 0;
  field_count_ = 0;
  return result;
}

int CDatabase::Top() {
  if (table_.Top()) return 1;
  ShowError(kOpTop);
  return 0;
}

int CDatabase::Bottom() {
  if (table_.Bottom()) return 1;
  ShowError(kOpBottom);
  return 0;
}

int CDatabase::Go(long record) {
  if (table_.IsOpen() && (record < 1 || record > kMaxRecordNumber)) {
    // Let the engine refuse it, so the table stands at its end as for any
    // record that does not exist.
    record = 0;
  }
  if (table_.Go(static_cast<std::uint32_t>(record))) return 1;
  ShowError(kOpGo);
  return 0;
}

long CDatabase::Skip(long count) {
  if (!table_.Skip(count)) ShowError(kOpSkip);
  return RecNo();
}

long CDatabase::RecNo() { return table_.IsOpen() ? static_cast<long>(table_.Position()) : 0; }

long CDatabase::RecCount() { return static_cast<long>(table_.RecordCount()); }

int CDatabase::Lock() {
  if (table_.Lock()) return 1;
  ShowError(kOpLock);
  return 0;
}

int CDatabase::Unlock() {
  table_.Unlock();
  return 1;
}

void CDatabase::SetFlush(int flag) { auto_flush_ = flag; }

int CDatabase::Flush() {
  int result = 1;
  if (!table_.Flush()) {
    ShowError(kOpFlush);
    result = 0;
  }
  Unlock();
  return result;
}

int CDatabase::FieldIndexOf(const char* name) const { return name ? table_.FieldIndex(name) : -1; }

int CDatabase::IsField(const char* name) { return FieldIndexOf(name) >= 0 ? 1 : 0; }

long CDatabase::Find(const char* field, long value) {
  int index = FieldIndexOf(field);
  if (index < 0) return 0;
  while (!table_.Eof()) {
    long current = 0;
    // A field holding no number simply does not match.
    if (table_.Integer(index, current) && current == value) return RecNo();
    if (!table_.Skip(1)) {
      ShowError(kOpSkip);
      return 0;
    }
  }
  return 0;
}

long CDatabase::Find(const char* field, const char* value) {
  int index = FieldIndexOf(field);
  if (index < 0 || !value) return 0;
  std::string wanted(value);
  while (!wanted.empty() && wanted.back() == ' ') wanted.pop_back();
  while (!table_.Eof()) {
    if (table_.Text(index) == wanted) return RecNo();
    if (!table_.Skip(1)) {
      ShowError(kOpSkip);
      return 0;
    }
  }
  return 0;
}

int CDatabase::Read(const char* field, long& value) {
  value = 0;
  int index = FieldIndexOf(field);
  if (index < 0) return 0;
  if (!table_.Integer(index, value)) {
    ShowError(kOpRead);
    return 0;
  }
  return 1;
}

int CDatabase::Read(const char* field, int& value) {
  long wide = 0;
  int result = Read(field, wide);
  value = static_cast<int>(wide < INT_MIN ? INT_MIN : wide > INT_MAX ? INT_MAX : wide);
  return result;
}

int CDatabase::Read(const char* field, std::string& text) {
  text.clear();
  int index = FieldIndexOf(field);
  if (index < 0) return 0;
  // Through the field's cache buffer, as every text read goes.
  FieldCacheEntry& entry = field_cache_[static_cast<std::size_t>(index)];
  std::string value = table_.Text(index);
  entry.buffer.assign(value);
  entry.buffer.resize(entry.length + 1, '\0');
  text = value;
  return 1;
}

int CDatabase::Read(const char* field, char* text, std::size_t size) {
  if (text && size > 0) text[0] = '\0';
  std::string value;
  if (!Read(field, value)) return 0;
  if (text && size > 0) {
    std::size_t n = std::min(value.size(), size - 1);
    std::memcpy(text, value.data(), n);
    text[n] = '\0';
  }
  return 1;
}

void CDatabase::WriteAndUnlock(const char* operation) {
  if (auto_flush_ && !table_.Flush()) ShowError(operation);
  Unlock();
}

int CDatabase::Replace(const char* field, long value) {
  int index = FieldIndexOf(field);
  if (index < 0) return 0;
  if (!table_.SetInteger(index, value)) {
    ShowError(kOpReplace);
    Unlock();
    return 0;
  }
  WriteAndUnlock(kOpReplace);
  return 1;
}

int CDatabase::Replace(const char* field, const char* value) {
  int index = FieldIndexOf(field);
  if (index < 0) return 0;
  if (!table_.SetText(index, value ? value : "")) {
    ShowError(kOpReplace);
    Unlock();
    return 0;
  }
  WriteAndUnlock(kOpReplace);
  return 1;
}

int CDatabase::Append() {
  int result = 1;
  if (!table_.Append()) {
    ShowError(kOpAppend);
    result = 0;
  }
  Unlock();
  return result;
}

int CDatabase::Blank() {
  if (!table_.BlankRecord()) {
    ShowError(kOpBlank);
    Unlock();
    return 0;
  }
  WriteAndUnlock(kOpBlank);
  return 1;
}

int CDatabase::Delete() {
  if (!table_.SetDeleted(true)) {
    ShowError(kOpDelete);
    Unlock();
    return 0;
  }
  WriteAndUnlock(kOpDelete);
  return 1;
}

int CDatabase::Recall() {
  if (!table_.SetDeleted(false)) {
    ShowError(kOpRecall);
    Unlock();
    return 0;
  }
  WriteAndUnlock(kOpRecall);
  return 1;
}

int CDatabase::Pack() {
  int result = 1;
  if (!table_.Pack()) {
    ShowError(kOpPack);
    result = 0;
  }
  Unlock();
  return result;
}

int CDatabase::CopyRecord(long source, long target) {
  if (!Go(source)) return 0;
  for (FieldCacheEntry& e : field_cache_) {
    std::string_view raw = table_.RawField(e.index);
    e.buffer.assign(raw);
    e.buffer.push_back('\0');
  }
  if (!Go(target)) return 0;
  for (const FieldCacheEntry& e : field_cache_) {
    table_.SetRaw(e.index, std::string_view(e.buffer.data(), e.length));
  }
  WriteAndUnlock(kOpCopyRecord);
  return 1;
}

const char* CDatabase::Fieldname(unsigned number) const {
  const auto& fields = table_.Fields();
  if (number < 1 || number > fields.size()) return "";
  return fields[number - 1].name.c_str();
}

unsigned CDatabase::FieldLength(const char* name) const {
  int index = FieldIndexOf(name);
  if (index < 0) return 0;
  return static_cast<unsigned>(table_.Fields()[static_cast<std::size_t>(index)].length);
}

int CDatabase::Deleted() const { return table_.Deleted() ? 1 : 0; }

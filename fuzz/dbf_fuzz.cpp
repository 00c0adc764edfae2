// Feeds arbitrary bytes to the dbf engine as a table file: opens it, goes
// through every record and field, searches, then changes, appends and packs.
// Results are not looked at: what is looked for is a crash or a memory error.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "alarm/alarm_table.h"
#include "alarm/vm001.h"

namespace {

char g_dir[] = "/tmp/ocelam_dbf_fuzz_XXXXXX";
std::string g_path;

void RemoveTableDir() {
  unlink(g_path.c_str());
  rmdir(g_dir);
}

// A private directory for this fuzzing process, made once and removed at exit.
const std::string& TablePath() {
  if (g_path.empty()) {
    if (!mkdtemp(g_dir)) std::abort();
    g_path = std::string(g_dir) + "/table.dbf";
    std::atexit(RemoveTableDir);
  }
  return g_path;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = TablePath();
  WriteInput(path, data, size);

  alarms::AlarmTable db;
  if (!db.Open(path.c_str())) return 0;
  long records = db.RecCount();
  unsigned fields = db.FieldCount();
  std::string text;
  char small[8];
  long number = 0;
  for ((void)db.Top(); db.RecNo() <= records && db.RecNo() > 0; (void)db.Skip(1)) {
    for (unsigned f = 1; f <= fields; ++f) {
      const char* name = db.Fieldname(f);
      db.FieldLength(name);
      (void)db.Read(name, text);
      (void)db.Read(name, small, sizeof small);
      (void)db.Read(name, number);
    }
    db.Deleted();
    if (db.RecNo() >= records) break;
  }
  if (fields > 0) {
    const char* first = db.Fieldname(1);
    (void)db.Top();
    (void)db.Find(first, "x");
    (void)db.Top();
    (void)db.Find(first, 1L);
    (void)db.Bottom();
    (void)db.Replace(first, 12L);
    (void)db.Replace(first, "-3.5");
    (void)db.Delete();
    (void)db.Recall();
    (void)db.Blank();
    (void)db.CopyRecord(1, records);
    (void)db.Append();
    (void)db.Replace(first, "appended");
    (void)db.Go(1);
    (void)db.Delete();
    (void)db.Pack();
  }
  (void)db.Go(records + 5);
  (void)db.Skip(-3);
  (void)db.Close();

  alarms::VM001File vm(path.c_str());
  alarms::VM001Record record;
  (void)vm.ReadRecord(1, record);
  return 0;
}

// Writes into arbitrary profile files with section, key and value names
// taken from the input, as the gateway's status and job writers do, then
// reads the file back. Input: the first byte chooses the file's byte-order
// mark and what is done; then, separated by NUL bytes, the section, key and
// value of one ProfileWriteString, a line for ProfileAppendLine, a second
// section, key and value; all behind the last of these NULs is the file.
// Checks that a written key reads back as written (a line end inside a
// name or value read as a blank), that every other key keeps its value and
// every section stays, that a key which could not be read back as itself is
// refused, and that ProfileWriteStrings leaves the file that ProfileWriteString calls would.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

using fuzz_support::Check;
using fuzz_support::ReadFile;
using fuzz_support::WriteFile;

namespace {

std::string_view Trim(std::string_view s) {
  std::size_t b = s.find_first_not_of(platform::kProfileBlanks);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(platform::kProfileBlanks) - b + 1);
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A line end inside a name or value is written as a blank.
std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}
bool Ascii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// The file's text as far as names can be compared: ASCII as it stands,
// every other UTF-16 unit as one byte that no name of ours holds.
std::string Text(std::string_view raw, bool* utf16) {
  *utf16 = false;
  if (raw.starts_with("\xEF\xBB\xBF")) return std::string(raw.substr(3));
  bool le = raw.starts_with("\xFF\xFE"), be = raw.starts_with("\xFE\xFF");
  if (!le && !be) return std::string(raw);
  *utf16 = true;
  std::string out;
  for (std::size_t i = 2; i + 1 < raw.size(); i += 2) {
    unsigned a = static_cast<unsigned char>(raw[i]), b = static_cast<unsigned char>(raw[i + 1]);
    unsigned unit = le ? (b << 8 | a) : (a << 8 | b);
    out += unit < 0x80 ? static_cast<char>(unit) : '\x01';
  }
  return out;
}

struct Names {
  std::vector<std::string> sections;                      // in order, lower case
  std::vector<std::pair<std::string, std::string>> keys;  // (section, key) as written
};

// Sections and keys as the profile rules see them.
Names Scan(std::string_view text) {
  Names names;
  std::string section;
  bool in_section = false;
  while (!text.empty()) {
    std::size_t end = text.find_first_of("\r\n");
    std::string_view t = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (t.empty() || t.front() == ';') continue;
    if (t.front() == '[') {
      std::size_t close = t.rfind(']');
      section = std::string(Trim(
          close == std::string_view::npos || close == 0 ? t.substr(1) : t.substr(1, close - 1)));
      in_section = true;
      names.sections.push_back(Lower(section));
      continue;
    }
    std::size_t eq = t.find('=');
    if (eq == std::string_view::npos || !in_section) continue;
    if (names.keys.size() < 24)
      names.keys.emplace_back(section, std::string(Trim(t.substr(0, eq))));
  }
  return names;
}

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v);
}

struct Write {
  std::string section, key, value;
  bool remove = false;
};

bool Same(const Write& w, std::string_view section, std::string_view key) {
  return Lower(OneLine(Trim(w.section))) == Lower(Trim(section)) &&
         Lower(OneLine(Trim(w.key))) == Lower(Trim(key));
}

// Whether a write must be taken: a key that would read back as a section,
// a comment or another key is refused.
bool Accepted(std::string_view section, std::string_view key) {
  key = Trim(key);
  return !Trim(section).empty() && !key.empty() && key.front() != ';' && key.front() != '[' &&
         key.find('=') == std::string_view::npos;
}

// Whether the written key must read back as written.
bool Readable(const Write& w, bool utf16) {
  if (!Accepted(w.section, w.key)) return false;
  // Bytes that are no UTF-8 cannot be stored in UTF-16.
  return !utf16 || (Ascii(w.section) && Ascii(w.key) && Ascii(w.value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path =
      "/tmp/ocelam_profile_write_fuzz_" + std::to_string(getpid()) + ".ini";
  static const std::string path2 = path + ".2";
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string fields[6];
  for (std::string& field : fields) {
    std::size_t nul = rest.find('\0');
    if (nul == std::string_view::npos) break;
    field = rest.substr(0, nul);
    rest.remove_prefix(nul + 1);
  }
  static const char* const kMarks[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
  std::string file = kMarks[flags % 4];
  file += rest;
  WriteFile(path, file);

  bool utf16 = false;
  Names before = Scan(Text(ReadFile(path), &utf16));
  std::vector<std::optional<std::string>> values;
  for (const auto& [section, key] : before.keys)
    values.push_back(platform::ProfileRead(path, section, key));

  // A plain line at the end, as the multimedia log gets them.
  std::string line = fields[3];
  std::erase_if(line, [](char c) { return c == '\r' || c == '\n'; });
  if (flags & 4) (void)platform::ProfileAppendLine(path, line);

  Write first{fields[0], fields[1], fields[2], (flags & 8) != 0};
  bool written = platform::ProfileWriteString(path, first.section, first.key,
                                              first.remove ? nullptr : first.value.c_str())
                     .ok();
  Check(written == Accepted(first.section, first.key));
  if (Readable(first, utf16) && !first.remove)
    Check(platform::ProfileRead(path, OneLine(first.section), OneLine(first.key)) ==
          Unquote(Trim(OneLine(first.value))));

  {
    bool utf16_after = false;
    Names after = Scan(Text(ReadFile(path), &utf16_after));
    Check(utf16_after == utf16);
    for (std::size_t i = 0; i < before.keys.size(); ++i) {
      const auto& [section, key] = before.keys[i];
      if (Same(first, section, key)) continue;
      Check(platform::ProfileRead(path, section, key) == values[i]);
    }
    // Every section is still there, in its order.
    std::size_t found = 0;
    for (const std::string& section : after.sections)
      if (found < before.sections.size() && section == before.sections[found]) ++found;
    Check(found == before.sections.size());
  }

  // Several writes in one rewrite leave what the single writes leave.
  std::vector<platform::ProfileWrite> writes = {{first.section, first.key, first.value},
                                                {fields[4], fields[5], first.value + "2"}};
  bool valid = true;
  for (const auto& w : writes) valid = valid && Accepted(w.section, w.key);
  if (valid) {
    WriteFile(path2, ReadFile(path));
    for (const auto& w : writes)
      Check(platform::ProfileWriteString(path, w.section, w.key, w.value.c_str()).ok());
    Check(platform::ProfileWriteStrings(path2, writes).ok());
    // Names that are no UTF-8 do not survive a UTF-16 file: after the first
    // single write they read back otherwise, where the batch still has them
    // as written. Only names that can be stored must give the same file.
    bool storable = !utf16;
    if (!storable) {
      storable = true;
      for (const auto& w : writes) storable = storable && Ascii(w.section) && Ascii(w.key);
    }
    if (storable) Check(ReadFile(path) == ReadFile(path2));
    const Write second{writes[1].section, writes[1].key, writes[1].value};
    if (Readable(second, utf16))
      Check(platform::ProfileRead(path, OneLine(second.section), OneLine(second.key)) ==
            Unquote(Trim(OneLine(second.value))));
  }
  return 0;
}

#include "platform/profile.h"

#include "platform/held_temporary.h"
#include "platform/mutex.h"
#include "platform/shared_file.h"
#include "platform/strings.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

struct Line {
  std::string text;  // without its line end
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  std::size_t b = s.find_first_not_of(kProfileBlanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = s.find_last_not_of(kProfileBlanks);
  return s.substr(b, e - b + 1);
}

// What one line of a profile file is.
enum class Kind { kOther, kSection, kKey };

struct Parsed {
  Kind kind = Kind::kOther;
  std::string_view name;   // section or key name
  std::string_view value;  // raw trimmed value of a key line
};

Parsed ParseLine(std::string_view raw) {
  Parsed p;
  std::string_view t = Trim(raw);
  if (t.empty() || t.front() == ';') return p;
  if (t.front() == '[') {
    std::size_t close = t.rfind(']');
    std::string_view inner =
        close == std::string_view::npos || close == 0 ? t.substr(1) : t.substr(1, close - 1);
    p.kind = Kind::kSection;
    p.name = Trim(inner);
    return p;
  }
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return p;
  p.kind = Kind::kKey;
  p.name = Trim(t.substr(0, eq));
  p.value = Trim(t.substr(eq + 1));
  return p;
}

std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

// A profile read for its values may be a link an operator made
// (configuration kept elsewhere), so plain reads follow links; a file read to
// be rewritten is not read through one (`follow` false), or the rewrite would
// copy whatever the link points to into the folder. A FIFO or a device under
// the name is never waited on.
bool ReadWholeFile(const std::string& path, std::string& out, bool follow = true) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW)));
  struct stat st {};
  if (!fd.valid() || fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  std::string data;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  out = std::move(data);
  return true;
}

// The encodings the Windows profile routines accept. Only a file's mark tells
// them apart: a UTF-16 file without its mark reads as bytes.
enum class Encoding { kPlain, kUtf8Bom, kUtf16Le, kUtf16Be };

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

Encoding DetectEncoding(std::string_view raw) {
  if (raw.starts_with(kUtf8Mark)) return Encoding::kUtf8Bom;
  if (raw.size() >= 2) {
    unsigned char a = static_cast<unsigned char>(raw[0]), b = static_cast<unsigned char>(raw[1]);
    if (a == 0xFF && b == 0xFE) return Encoding::kUtf16Le;
    if (a == 0xFE && b == 0xFF) return Encoding::kUtf16Be;
  }
  return Encoding::kPlain;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 units after the mark, as UTF-8. An unpaired surrogate becomes U+FFFD;
// an odd last byte is no character and is dropped.
std::string DecodeUtf16(std::string_view units, bool big_endian) {
  std::string out;
  out.reserve(units.size());
  std::size_t count = units.size() / 2;
  auto unit = [&](std::size_t i) -> char32_t {
    unsigned char a = static_cast<unsigned char>(units[2 * i]);
    unsigned char b = static_cast<unsigned char>(units[2 * i + 1]);
    return big_endian ? (char32_t{a} << 8 | b) : (char32_t{b} << 8 | a);
  };
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// The next character of UTF-8 text at `i`, which is moved past it. A byte that
// does not start a well-formed sequence is U+FFFD and only that byte is used,
// so the text after it is still read as it stands.
char32_t NextUtf8(std::string_view s, std::size_t& i) {
  unsigned char b = static_cast<unsigned char>(s[i]);
  std::size_t len = b < 0x80                 ? 1
                    : b >= 0xC2 && b <= 0xDF ? 2
                    : b >= 0xE0 && b <= 0xEF ? 3
                    : b >= 0xF0 && b <= 0xF4 ? 4
                                             : 0;
  if (len == 1) {
    ++i;
    return b;
  }
  if (len == 0 || i + len > s.size()) {
    ++i;
    return 0xFFFD;
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  char32_t c = b & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    unsigned char t = static_cast<unsigned char>(s[i + k]);
    if ((t & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = c << 6 | (t & 0x3F);
  }
  if (c < kSmallest[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += len;
  return c;
}

// The text of a file as UTF-8 without its mark: a view into `raw`, or into
// `storage` when it had to be converted.
std::string_view DecodeProfile(const std::string& raw, Encoding* encoding, std::string& storage) {
  Encoding e = DetectEncoding(raw);
  if (encoding) *encoding = e;
  std::string_view text(raw);
  switch (e) {
    case Encoding::kPlain:
      return text;
    case Encoding::kUtf8Bom:
      return text.substr(kUtf8Mark.size());
    case Encoding::kUtf16Le:
    case Encoding::kUtf16Be:
      storage = DecodeUtf16(text.substr(2), e == Encoding::kUtf16Be);
      return storage;
  }
  return text;
}

// UTF-8 text as the bytes of a file in `encoding`, mark included.
std::string EncodeProfile(std::string_view text, Encoding encoding) {
  if (encoding == Encoding::kPlain) return std::string(text);
  if (encoding == Encoding::kUtf8Bom) return std::string(kUtf8Mark) + std::string(text);
  bool big = encoding == Encoding::kUtf16Be;
  std::string out;
  out.reserve(2 * text.size() + 2);
  auto put = [&](char32_t unit) {
    char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
    out += big ? hi : lo;
    out += big ? lo : hi;
  };
  put(0xFEFF);
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = NextUtf8(text, i);
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

// Splits at CR LF, LF or CR. Reports the first line end seen so a rewrite
// keeps the file's own style.
std::vector<std::string> SplitLines(std::string_view data, std::string* line_end) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  bool end_seen = false;
  for (std::size_t i = 0; i < data.size(); ++i) {
    char c = data[i];
    if (c != '\n' && c != '\r') continue;
    lines.emplace_back(data, start, i - start);
    std::size_t len = (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n') ? 2 : 1;
    if (!end_seen && line_end) {
      *line_end = data.substr(i, len);
      end_seen = true;
    }
    i += len - 1;
    start = i + 1;
  }
  if (start < data.size()) lines.emplace_back(data, start, data.size() - start);
  return lines;
}


// Gives the temporary that replaces `path` the file's owner, group and
// permission bits, without set-user-ID, set-group-ID and sticky bits (a
// rewrite must not hand a program's rights on to whatever it writes); a new file gets the mode
// an ordinary create would give it. mkstemp creates 0600 files of ours, and
// profile files are read by the alarm server and operators. Only root may
// give a file away, and an owner this system cannot name cannot be given at
// all: the rewrite is then the writer's file, quietly, as it would be in
// both cases had the file been written in place by an editor.
void TakeOverOwnerAndMode(int fd, const std::string& path) {
  struct stat original {
  }, made{};
  if (stat(path.c_str(), &original) != 0) {
    fchmod(fd, NewFileMode());
    return;
  }
  if (fstat(fd, &made) == 0 && (made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
      fchown(fd, original.st_uid, original.st_gid) != 0 && errno == EPERM &&
      made.st_gid != original.st_gid)
    (void)fchown(fd, static_cast<uid_t>(-1), original.st_gid);  // a group of ours is allowed
  fchmod(fd, original.st_mode & 0777);
}

// Writes `data` next to `path` and renames it over `path`. The temporary is
// held until renamed, so a start-up clean-up never takes it for one a killed
// run left behind, and on disk before it is renamed, so a crash leaves the
// old file or the new one, never an empty one.
Status ReplaceFile(const std::string& path, const std::string& data) {
  std::string name = path + kProfileTemporarySuffix;
  HeldTemporary temp;
  if (Status made = temp.Create(name, 0); !made) return Status::FromErrno(made.error(), path);
  TakeOverOwnerAndMode(temp.fd(), path);
  Status result = WriteAll(temp.fd(), data.data(), data.size());
  if (result && fsync(temp.fd()) != 0) result = Status::FromErrno(errno);
  if (result) result = temp.CloseWriting();
  // Renamed while still held.
  if (result && rename(name.c_str(), path.c_str()) != 0) result = Status::FromErrno(errno);
  if (!result) {
    unlink(name.c_str());
    return Status::FromErrno(result.error(), path);
  }
  return result;
}

Mutex g_locks_mutex;

}  // namespace

struct ProfileLockEntry {
  RecursiveMutex mutex;
  std::size_t users GUARDED_BY(g_locks_mutex) = 0;  // locks holding or waiting for `mutex`
};

namespace {
// Never destroyed: detached threads may still write profiles while the
// process is ending. Elements keep their address while others come and go.
std::unordered_map<std::string, ProfileLockEntry>* g_locks GUARDED_BY(g_locks_mutex) = nullptr;

// A ProfileLock holds its entry's mutex from its constructor to its
// destructor, a span the analysis cannot follow across two functions.
void HoldEntry(ProfileLockEntry& entry) NO_THREAD_SAFETY_ANALYSIS { entry.mutex.Lock(); }
void LetGoEntry(ProfileLockEntry& entry) NO_THREAD_SAFETY_ANALYSIS { entry.mutex.Unlock(); }
}  // namespace

ProfileLock::ProfileLock(const std::string& path) : path_(path) {
  {
    MutexLock guard(g_locks_mutex);
    if (!g_locks) g_locks = new std::unordered_map<std::string, ProfileLockEntry>();
    entry_ = &(*g_locks)[path_];
    ++entry_->users;
  }
  // Waited for outside the registry's own mutex, so a long rewrite of one
  // file never holds up the others.
  HoldEntry(*entry_);
}

ProfileLock::~ProfileLock() {
  LetGoEntry(*entry_);
  MutexLock guard(g_locks_mutex);
  if (--entry_->users == 0) g_locks->erase(path_);
}

std::size_t ProfileLockEntriesForTest() {
  MutexLock guard(g_locks_mutex);
  return g_locks ? g_locks->size() : 0;
}

std::optional<std::string> ProfileRead(const std::string& path, std::string_view section,
                                       std::string_view key) {
  std::string data;
  if (!ReadWholeFile(path, data)) return std::nullopt;
  std::string decoded;
  std::string_view want_section = Trim(section), want_key = Trim(key);
  bool in_section = false;
  // Lines are looked at in place: status and configuration files are read
  // key by key, so this runs often.
  std::string_view rest = DecodeProfile(data, nullptr, decoded);
  while (!rest.empty()) {
    std::size_t end = rest.find_first_of("\r\n");
    std::string_view raw = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    Parsed p = ParseLine(raw);
    if (p.kind == Kind::kSection) {
      if (in_section) return std::nullopt;  // only the first matching section counts
      in_section = EqualsNoCase(p.name, want_section);
      continue;
    }
    if (in_section && p.kind == Kind::kKey && EqualsNoCase(p.name, want_key))
      return std::string(Unquote(p.value));
  }
  return std::nullopt;
}

std::size_t ProfileGetString(const std::string& path, std::string_view section,
                             std::string_view key, std::string_view default_value, char* buffer,
                             std::size_t size) {
  if (!buffer || size == 0) return 0;
  std::string value = ProfileGetString(path, section, key, default_value);
  std::size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n;
}

std::string ProfileGetString(const std::string& path, std::string_view section,
                             std::string_view key, std::string_view default_value) {
  std::optional<std::string> v = ProfileRead(path, section, key);
  if (v) return *v;
  return std::string(Trim(default_value));
}

std::optional<int> ParseProfileInt(std::string_view text) {
  std::string_view t = Trim(text);
  if (t.empty()) return std::nullopt;
  std::size_t i = 0;
  bool negative = false;
  if (t[i] == '+' || t[i] == '-') negative = t[i++] == '-';
  long long v = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    v = v * 10 + (t[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return static_cast<int>(v);
}

int ProfileGetInt(const std::string& path, std::string_view section, std::string_view key,
                  int default_value) {
  std::optional<std::string> v = ProfileRead(path, section, key);
  if (!v) return default_value;
  return ParseProfileInt(*v).value_or(default_value);
}

namespace {

// A line end inside a name or a value would begin a line of its own, a key
// or a section nobody wrote (and a later rewrite would read the file other
// than the one that wrote it): it is written as a blank.
std::string OneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

// One WritePrivateProfileString on the lines of a file held in memory.
// False when nothing was to be done (deleting what is not there).
bool ApplyWrite(std::vector<std::string>& lines, std::string_view section_name,
                std::string_view key_name, const char* value) {
  const std::string want_section = OneLine(section_name), want_key = OneLine(key_name);
  std::string new_line;
  if (value) new_line = want_key + "=" + OneLine(Trim(value));

  // Find the first matching section, the first matching key in it, and the
  // last non-blank line of the section (where a new key goes).
  std::size_t section_at = std::string::npos, key_at = std::string::npos, last_at = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    Parsed p = ParseLine(lines[i]);
    if (p.kind == Kind::kSection) {
      if (section_at != std::string::npos) break;
      if (EqualsNoCase(p.name, want_section)) section_at = last_at = i;
      continue;
    }
    if (section_at == std::string::npos) continue;
    if (!Trim(lines[i]).empty()) last_at = i;
    if (p.kind == Kind::kKey && key_at == std::string::npos && EqualsNoCase(p.name, want_key))
      key_at = i;
  }

  if (key_at != std::string::npos) {
    if (value)
      lines[key_at] = new_line;
    else
      lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(key_at));
  } else if (!value) {
    return false;  // nothing to delete
  } else if (section_at != std::string::npos) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last_at) + 1, new_line);
  } else {
    lines.push_back("[" + want_section + "]");
    lines.push_back(new_line);
  }
  return true;
}

std::string JoinLines(const std::vector<std::string>& lines, const std::string& eol) {
  std::size_t size = 0;
  for (const std::string& l : lines) size += l.size() + eol.size();
  std::string out;
  out.reserve(size);
  for (const std::string& l : lines) {
    out += l;
    out += eol;
  }
  return out;
}

// A file's lines held in memory for a rewrite, with what the rewrite keeps.
struct LoadedProfile {
  bool exists = false;
  Status refused;  // a link or not a regular file under the name: nothing is written
  Encoding encoding = Encoding::kPlain;
  std::string eol = "\n";  // a new file gets LF
  std::vector<std::string> lines;
};

LoadedProfile LoadProfile(const std::string& path) {
  LoadedProfile p;
  std::string data, decoded;
  p.exists = ReadWholeFile(path, data, false);
  if (!p.exists && (errno == ELOOP || errno == EINVAL)) {
    // Tells the refusal in OpenRegularFile's words, without opening for writing.
    Result<UniqueFd> probe = OpenRegularFile(path, O_RDONLY);
    if (!probe) p.refused = probe.status();
  }
  std::string_view text = DecodeProfile(data, &p.encoding, decoded);
  p.lines = SplitLines(text, &p.eol);
  return p;
}

Status StoreProfile(const std::string& path, const LoadedProfile& p) {
  return ReplaceFile(path, EncodeProfile(JoinLines(p.lines, p.eol), p.encoding));
}

// A key written as "[..." would read back as a section header, one written as
// ";..." as a comment, and one holding "=" as a shorter key with another value:
// either would hide or change keys nobody meant to touch, so such names are refused.
bool WritableKey(std::string_view key) {
  return !key.empty() && key.front() != '[' && key.front() != ';' &&
         key.find('=') == std::string_view::npos;
}

constexpr const char* kNoPath = "no profile file named";
constexpr const char* kEmptySection = "%s: empty section name";
constexpr const char* kRefusedKey = "%s: the key '%.*s' would not read back as itself";

// Why a write of `section` and `key` is refused before the file is touched.
Status CheckNames(const std::string& path, std::string_view section, std::string_view key) {
  if (path.empty()) return Status::Failure(kNoPath);
  if (section.empty()) return Status::Failure(StringPrintf(kEmptySection, path.c_str()));
  if (!WritableKey(key))
    return Status::Failure(
        StringPrintf(kRefusedKey, path.c_str(), static_cast<int>(key.size()), key.data()));
  return {};
}

}  // namespace

Status ProfileWriteString(const std::string& path, std::string_view section, std::string_view key,
                          const char* value) {
  std::string_view want_section = Trim(section);
  std::string_view want_key = Trim(key);
  if (Status names = CheckNames(path, want_section, want_key); !names) return names;

  ProfileLock lock(path);
  LoadedProfile profile = LoadProfile(path);
  if (!profile.refused) return profile.refused;
  if (!profile.exists && !value) return {};  // deleting from nothing leaves nothing
  if (!ApplyWrite(profile.lines, want_section, want_key, value)) return {};
  return StoreProfile(path, profile);
}

Status ProfileWriteStrings(const std::string& path, std::span<const ProfileWrite> writes) {
  if (path.empty()) return Status::Failure(kNoPath);
  for (const ProfileWrite& w : writes)
    if (Status names = CheckNames(path, Trim(w.section), Trim(w.key)); !names) return names;
  if (writes.empty()) return {};

  ProfileLock lock(path);
  LoadedProfile profile = LoadProfile(path);
  if (!profile.refused) return profile.refused;
  for (const ProfileWrite& w : writes)
    ApplyWrite(profile.lines, Trim(w.section), Trim(w.key), w.value.c_str());
  return StoreProfile(path, profile);
}

Status ProfileAppendLine(const std::string& path, std::string_view line) {
  ProfileLock lock(path);
  // A file whose last line has no line end (written by hand or by another
  // program) gets one first: the new line must not run on into the last
  // one, changing its key's value and losing itself.
  auto unfinished = [](std::string_view text) {
    return !text.empty() && text.back() != '\n' && text.back() != '\r';
  };
  // A UTF-16 file cannot take UTF-8 bytes at its end: it is rewritten with the
  // line added. Other files (plain or UTF-8 with a mark) are appended to.
  // Lines are appended in folders other accounts write ("LogDirectory"): the
  // file is opened once, never through a link, and only a regular file.
  Result<UniqueFd> opened = OpenRegularFile(path, O_RDWR | O_CREAT | O_APPEND);
  if (!opened) return opened.status();
  const int fd = opened.value().get();
  char head[3] = {};
  ssize_t got = pread(fd, head, sizeof head, 0);
  if (got < 0) got = 0;
  char last = '\n';
  struct stat st {};
  const off_t size = fstat(fd, &st) == 0 ? st.st_size : 0;
  if (size > 0 && pread(fd, &last, 1, size - 1) != 1) last = '\n';
  std::string_view start(head, static_cast<std::size_t>(got));
  Encoding encoding = DetectEncoding(start);
  if (encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be) {
    std::string data, decoded;
    if (!ReadWholeFile(path, data, false)) return Status::FromErrno(errno, path);
    std::string text(DecodeProfile(data, nullptr, decoded));
    if (unfinished(text)) text += '\n';
    text += line;
    text += '\n';
    return ReplaceFile(path, EncodeProfile(text, encoding));
  }
  // A UTF-8 file that is only its mark holds no line yet.
  const off_t mark = encoding == Encoding::kUtf8Bom ? static_cast<off_t>(kUtf8Mark.size()) : 0;
  std::string out;
  if (size > mark && unfinished(std::string_view(&last, 1))) out += '\n';
  // The first line of a file must not begin with bytes that read as a
  // byte-order mark: the whole file would then be read as UTF-16 (or lose
  // the line's first bytes). A UTF-8 mark before it keeps the line as it is.
  if (size <= 0 && DetectEncoding(line) != Encoding::kPlain) out += kUtf8Mark;
  out += line;
  out += '\n';
  if (Status written = WriteAll(fd, out.data(), out.size()); !written)
    return Status::FromErrno(written.error(), path);
  if (Status closed = opened.value().Close(); !closed) return Status::FromErrno(closed.error(), path);
  return {};
}

}  // namespace platform

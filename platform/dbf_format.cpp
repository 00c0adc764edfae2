#include "platform/dbf_format.h"
#include "platform/strings.h"

#include <cctype>
#include <climits>
#include <cstdio>

namespace platform::dbf {
namespace {

// Reasons a header is refused; the table code puts the path in front.
static constexpr const char* kTooShort = "too short for a table header";
static constexpr const char* kUnknownVersionFormat = "unknown table version 0x%02X";
static constexpr const char* kBadHeaderLengthFormat = "header length %zu out of range";
static constexpr const char* kBadRecordLengthFormat = "record length %zu out of range";
static constexpr const char* kNoFields = "no field descriptors";
static constexpr const char* kTooManyFieldsFormat = "more than %zu fields";
static constexpr const char* kEmptyFieldFormat = "field %zu has length 0";
static constexpr const char* kLengthMismatchFormat =
    "record length %zu does not match its fields (%zu bytes)";

constexpr unsigned char kKnownVersions[] = {
    0x03,  // dBase III, FoxBase+, Clipper
    0x04,  // dBase IV without memo
    0x05,  // dBase V without memo
    0x30,  // Visual FoxPro
    0x31,  // Visual FoxPro with autoincrement
    0x32,  // Visual FoxPro with varchar
    0x43,  // dBase IV SQL table
    0x63,  // dBase IV SQL system file
    0x83,  // dBase III with memo
    0x8B,  // dBase IV with memo
    0xCB,  // dBase IV SQL table with memo
    0xF5,  // FoxPro with memo
    0xFB,  // FoxBase
};

bool IsBlank(char c) { return c == ' ' || c == '\0'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The parts of a number text: sign, integral digits, fraction digits.
struct NumberParts {
  bool negative = false;
  std::string_view integral;
  std::string_view fraction;
};

// Splits a trimmed, non-empty number text; false when it is not one.
bool SplitNumber(std::string_view t, NumberParts& parts) {
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    parts.negative = t[i] == '-';
    ++i;
  }
  std::size_t start = i;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
  parts.integral = t.substr(start, i - start);
  if (i < t.size() && t[i] == '.') {
    ++i;
    start = i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    parts.fraction = t.substr(start, i - start);
  }
  if (i != t.size()) return false;
  return !parts.integral.empty() || !parts.fraction.empty();
}

// Right-aligns `text` in a field of `length` bytes; false when too long.
bool RightAlign(const std::string& text, std::size_t length, std::string& out) {
  if (text.size() > length) return false;
  out.assign(length - text.size(), ' ');
  out += text;
  return true;
}

std::size_t GetU16(const unsigned char* p) {
  return static_cast<std::size_t>(p[0]) | static_cast<std::size_t>(p[1]) << 8;
}

void PutU16(unsigned char* p, std::size_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

}  // namespace

bool IsKnownVersion(unsigned char version) {
  for (unsigned char v : kKnownVersions) {
    if (v == version) return true;
  }
  return false;
}

std::uint32_t GetU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutU32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

std::size_t StatedHeaderLength(std::span<const unsigned char> prefix) {
  return prefix.size() < kHeaderPrefixSize ? 0 : GetU16(prefix.data() + 8);
}

bool ParseHeader(std::span<const unsigned char> bytes, std::uint64_t file_size, Header& out,
                 std::string& error) {
  out = Header{};
  if (bytes.size() < kHeaderPrefixSize || file_size < kHeaderPrefixSize) {
    error = kTooShort;
    return false;
  }
  out.version = bytes[0];
  if (!IsKnownVersion(out.version)) {
    error = StringPrintf(kUnknownVersionFormat, static_cast<unsigned>(out.version));
    return false;
  }
  out.record_count = GetU32(bytes.data() + kRecordCountOffset);
  out.header_length = GetU16(bytes.data() + 8);
  out.record_length = GetU16(bytes.data() + 10);
  if (out.header_length < kMinHeaderLength || out.header_length > file_size ||
      out.header_length > bytes.size()) {
    error = StringPrintf(kBadHeaderLengthFormat, out.header_length);
    return false;
  }
  if (out.record_length < 2) {
    error = StringPrintf(kBadRecordLengthFormat, out.record_length);
    return false;
  }

  // Descriptors run from byte 32 to the terminator; a writer that left the
  // terminator out is still read up to the stated header length.
  std::size_t pos = kHeaderPrefixSize;
  while (pos + kDescriptorSize <= out.header_length && bytes[pos] != kHeaderTerminator) {
    if (out.fields.size() == kMaxFields) {
      error = StringPrintf(kTooManyFieldsFormat, kMaxFields);
      return false;
    }
    const unsigned char* d = bytes.data() + pos;
    Field f;
    std::size_t n = 0;
    while (n < kFieldNameSize && d[n] != 0) ++n;
    f.name.assign(reinterpret_cast<const char*>(d), n);
    while (!f.name.empty() && f.name.back() == ' ') f.name.pop_back();
    f.type = static_cast<char>(std::toupper(d[11]));
    f.length = d[16];
    f.decimals = d[17];
    out.fields.push_back(std::move(f));
    pos += kDescriptorSize;
  }
  if (out.fields.empty()) {
    error = kNoFields;
    return false;
  }

  // Field lengths must add up to the record length (after the flag byte).
  // Clipper and FoxPro keep the high byte of a long character field in its
  // decimals byte; that reading is tried when the plain one does not add up.
  auto total = [&](bool wide_chars) {
    std::size_t sum = 0;
    for (const Field& f : out.fields) {
      sum += f.length;
      if (wide_chars && f.type == 'C') sum += f.decimals * 256;
    }
    return sum;
  };
  std::size_t plain = total(false);
  bool wide = false;
  if (plain + 1 != out.record_length) {
    if (total(true) + 1 != out.record_length) {
      error = StringPrintf(kLengthMismatchFormat, out.record_length, plain);
      return false;
    }
    wide = true;
  }
  std::size_t offset = 1;
  for (std::size_t i = 0; i < out.fields.size(); ++i) {
    Field& f = out.fields[i];
    if (wide && f.type == 'C') {
      f.length += f.decimals * 256;
      f.decimals = 0;
    }
    if (f.length == 0) {
      error = StringPrintf(kEmptyFieldFormat, i + 1);
      return false;
    }
    f.offset = offset;
    offset += f.length;
  }
  // A count beyond the records in the file is no reason to refuse the table:
  // another program may be between writing the count and the record, or
  // have stopped there. The table code counts only the whole records.
  return true;
}

void PutDate(unsigned char* out, int year, int month, int day) {
  out[0] = static_cast<unsigned char>((year - 1900) & 0xFF);
  out[1] = static_cast<unsigned char>(month);
  out[2] = static_cast<unsigned char>(day);
}

std::vector<unsigned char> BuildHeader(const Header& header, int year, int month, int day) {
  std::size_t header_length = kHeaderPrefixSize + kDescriptorSize * header.fields.size() + 1;
  std::size_t record_length = 1;
  for (const Field& f : header.fields) record_length += f.length;
  std::vector<unsigned char> bytes(header_length, 0);
  bytes[0] = header.version;
  PutDate(bytes.data() + kDateOffset, year, month, day);
  PutU32(bytes.data() + kRecordCountOffset, header.record_count);
  PutU16(bytes.data() + 8, header_length);
  PutU16(bytes.data() + 10, record_length);
  bytes[kLanguageDriverOffset] = kLanguageDriverAnsi;
  std::size_t pos = kHeaderPrefixSize;
  for (const Field& f : header.fields) {
    for (std::size_t i = 0; i < f.name.size() && i < kMaxFieldNameLength; ++i) {
      bytes[pos + i] =
          static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(f.name[i])));
    }
    bytes[pos + 11] = static_cast<unsigned char>(f.type);
    bytes[pos + 16] = static_cast<unsigned char>(f.length);
    bytes[pos + 17] = static_cast<unsigned char>(f.decimals);
    pos += kDescriptorSize;
  }
  bytes[pos] = kHeaderTerminator;
  return bytes;
}

bool ParseNumber(std::string_view text, long& value) {
  value = 0;
  std::string_view t = TrimBlanks(text);
  if (t.empty()) return true;
  NumberParts parts;
  if (!SplitNumber(t, parts)) return false;
  long v = 0;
  for (char c : parts.integral) {
    int digit = c - '0';
    if (v > (LONG_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = parts.negative ? -v : v;
  return true;
}

bool FormatInteger(long value, std::size_t length, std::size_t decimals, std::string& out) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%ld", value);
  std::string text = buf;
  if (decimals > 0) {
    if (decimals > kMaxDecimals) return false;
    text += '.';
    text.append(decimals, '0');
  }
  return RightAlign(text, length, out);
}

bool FormatNumberText(std::string_view text, std::size_t length, std::size_t decimals,
                      std::string& out) {
  std::string_view t = TrimBlanks(text);
  if (t.empty()) {
    out.assign(length, ' ');
    return true;
  }
  NumberParts parts;
  if (!SplitNumber(t, parts) || decimals > kMaxDecimals) return false;
  // All kept digits in one string, then round half up on the first dropped one.
  std::string digits(parts.integral);
  std::string fraction(parts.fraction.substr(0, std::min(decimals, parts.fraction.size())));
  fraction.append(decimals - fraction.size(), '0');
  digits += fraction;
  if (parts.fraction.size() > decimals && parts.fraction[decimals] >= '5') {
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(digits.begin(), '1');
    } else {
      ++digits[i - 1];
    }
  }
  std::string integral = digits.substr(0, digits.size() - decimals);
  std::size_t first = integral.find_first_not_of('0');
  integral = first == std::string::npos ? "0" : integral.substr(first);
  std::string result = integral;
  if (decimals > 0) result += "." + digits.substr(digits.size() - decimals);
  bool zero = digits.find_first_not_of('0') == std::string::npos;
  if (parts.negative && !zero) result.insert(result.begin(), '-');
  return RightAlign(result, length, out);
}

bool SameFieldName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool IsValidFieldName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFieldNameLength) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0]))) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

}  // namespace platform::dbf

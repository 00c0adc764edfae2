#pragma once
// The bytes of a dBase III table: the header with its field descriptors, and
// the text form of numbers in numeric fields. Pure functions over buffers, so
// the table code (platform/dbf.h) and the tests share one reading of the
// format, and a hostile file can only ever make these return false.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::dbf {

inline constexpr std::size_t kHeaderPrefixSize = 32;    // fixed part before the descriptors
inline constexpr std::size_t kDescriptorSize = 32;      // one field descriptor
inline constexpr std::size_t kFieldNameSize = 11;       // name bytes in a descriptor
inline constexpr std::size_t kMaxFieldNameLength = 10;  // dBase names: 10 characters
inline constexpr unsigned char kHeaderTerminator = 0x0D;
inline constexpr unsigned char kEndOfFileMarker = 0x1A;
inline constexpr char kLiveFlag = ' ';
inline constexpr char kDeletedFlag = '*';
// Fields a table may have; dBase IV and FoxPro stop at 255 as well.
inline constexpr std::size_t kMaxFields = 255;
// The header and record lengths are 16-bit numbers in the file.
inline constexpr std::size_t kMaxHeaderLength = 65535;
inline constexpr std::size_t kMaxRecordLength = 65535;
// Smallest sensible header: prefix, one descriptor, terminator.
inline constexpr std::size_t kMinHeaderLength = kHeaderPrefixSize + kDescriptorSize + 1;
// Widths of the fields this engine creates (what dBase III allows).
inline constexpr std::size_t kMaxCharLength = 254;
inline constexpr std::size_t kMaxNumericLength = 20;
inline constexpr std::size_t kMaxDecimals = 15;
// Version byte we write: dBase III without memo file.
inline constexpr unsigned char kVersionDbase3 = 0x03;
// Language driver byte we write: Windows ANSI, the alarm server's code page.
inline constexpr unsigned char kLanguageDriverAnsi = 0x03;
inline constexpr std::size_t kLanguageDriverOffset = 29;
// Offsets in the fixed part.
inline constexpr std::size_t kDateOffset = 1;         // YY MM DD, YY = year - 1900
inline constexpr std::size_t kRecordCountOffset = 4;  // 32-bit little endian

struct Field {
  std::string name;  // as stored, up to the first NUL
  char type = 'C';   // 'C', 'N', 'F', 'D', 'L', 'M', ...
  std::size_t length = 0;
  std::size_t decimals = 0;
  std::size_t offset = 0;  // from the start of the record (the flag is byte 0)
};

struct Header {
  unsigned char version = kVersionDbase3;
  std::uint32_t record_count = 0;
  std::size_t header_length = 0;
  std::size_t record_length = 0;
  std::vector<Field> fields;
};

// True for the version bytes of the dBase III family and its relatives whose
// records and descriptors share the dBase III layout.
bool IsKnownVersion(unsigned char version);

// The header length stated in the fixed part (at least 32 bytes).
std::size_t StatedHeaderLength(std::span<const unsigned char> prefix);

// Reads a whole header (`bytes` holds the first min(header length, file size)
// bytes of the file) and checks its lengths against the file size. False
// with a short reason in `error` for anything that does not describe a
// readable table. A record count beyond the file's records is kept as stated
// (the reader counts the whole records present).
bool ParseHeader(std::span<const unsigned char> bytes, std::uint64_t file_size, Header& out,
                 std::string& error);

// Builds the header bytes of a new table from `header` (its fields carry
// names, types, lengths and decimals; offsets and lengths are computed).
std::vector<unsigned char> BuildHeader(const Header& header, int year, int month, int day);

// Writes the three date bytes of a header.
void PutDate(unsigned char* out, int year, int month, int day);

// 32-bit little-endian helpers of the header numbers.
std::uint32_t GetU32(const unsigned char* p);
void PutU32(unsigned char* p, std::uint32_t v);

// Reads the text of a numeric field: blanks (and NULs) around, an optional
// sign, digits and an optional fraction. A blank field is 0. The integral
// part lands in `value` (truncated toward zero). False for anything else
// (letters, overflow stars, a second sign) or a value beyond `long`.
bool ParseNumber(std::string_view text, long& value);

// The field bytes of an integer in a numeric field of `length` and
// `decimals`: right-aligned, with `decimals` zeros after the point. False
// when it does not fit.
bool FormatInteger(long value, std::size_t length, std::size_t decimals, std::string& out);

// The field bytes of a number given as text (rounded half up to `decimals`),
// right-aligned. Blank text gives a blank (empty) field. False when the text
// is not a number or does not fit.
bool FormatNumberText(std::string_view text, std::size_t length, std::size_t decimals,
                      std::string& out);

// Case-insensitive comparison of field names.
bool SameFieldName(std::string_view a, std::string_view b);

// A field name a new table may carry: 1 to 10 letters, digits or '_',
// starting with a letter.
bool IsValidFieldName(std::string_view name);

}  // namespace platform::dbf

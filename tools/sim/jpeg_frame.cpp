#include "jpeg_frame.h"

#include <time.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

constexpr int kBlock = 8;
constexpr int kBlocksAcross = kFrameWidth / kBlock;
constexpr int kBlocksDown = kFrameHeight / kBlock;
static_assert(kFrameWidth % kBlock == 0 && kFrameHeight % kBlock == 0,
              "whole blocks keep the scan free of edge handling");

// Every coefficient is quantised by 8, so a flat block of value p has the
// quantised DC value p - 128 and needs no AC coefficient at all.
constexpr int kQuant = 8;

// The usual luminance DC table: code lengths per size category 0..11.
constexpr std::array<std::uint8_t, 16> kDcBits = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr int kDcCategories = 12;
// The AC table holds only end-of-block (symbol 0x00), coded as one 0 bit.
constexpr std::array<std::uint8_t, 16> kAcBits = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

constexpr std::uint8_t kPaddingByte = '.';
constexpr std::size_t kMaxSegmentPayload = 65533;  // the length field counts itself
constexpr std::size_t kSegmentOverhead = 4;        // marker and length

constexpr int kBackground = 40;
constexpr int kInk = 235;
constexpr int kDigitsShown = 8;

// 3x5 digits, one bit per block, the top row in the high bits.
constexpr std::array<std::uint16_t, 10> kFont = {
    0b111'101'101'101'111, 0b010'110'010'010'111, 0b111'001'111'100'111, 0b111'001'111'001'111,
    0b101'101'111'001'001, 0b111'100'111'001'111, 0b111'100'111'101'111, 0b111'001'001'001'001,
    0b111'101'111'101'111, 0b111'101'111'001'111};

struct HuffCode {
  std::uint16_t code = 0;
  int length = 0;
};

// Canonical Huffman codes of the DC table, computed once.
std::array<HuffCode, kDcCategories> MakeDcCodes() {
  std::array<HuffCode, kDcCategories> codes{};
  std::uint16_t code = 0;
  int symbol = 0;
  for (int len = 1; len <= 16; ++len) {
    for (int i = 0; i < kDcBits[len - 1]; ++i) codes[symbol++] = {code++, len};
    code <<= 1;
  }
  return codes;
}

class BitWriter {
 public:
  explicit BitWriter(std::string* out) : out_(out) {}
  void Put(std::uint32_t bits, int count) {
    for (int i = count - 1; i >= 0; --i) {
      acc_ = static_cast<std::uint8_t>((acc_ << 1) | ((bits >> i) & 1));
      if (++filled_ == 8) Emit();
    }
  }
  // Pads the last byte with 1 bits, as decoders expect.
  void Flush() {
    while (filled_ != 0) Put(1, 1);
  }

 private:
  void Emit() {
    out_->push_back(static_cast<char>(acc_));
    // A 0xFF in entropy-coded data is followed by a stuffed zero byte.
    if (acc_ == 0xFF) out_->push_back('\0');
    acc_ = 0;
    filled_ = 0;
  }
  std::string* out_;
  std::uint8_t acc_ = 0;
  int filled_ = 0;
};

void PutMarker(std::string* out, std::uint8_t marker) {
  out->push_back('\xFF');
  out->push_back(static_cast<char>(marker));
}

void PutU16(std::string* out, std::size_t value) {
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
  out->push_back(static_cast<char>(value & 0xFF));
}

// Marker plus length field for a segment with `payload` bytes after them.
void PutSegmentHeader(std::string* out, std::uint8_t marker, std::size_t payload) {
  PutMarker(out, marker);
  PutU16(out, payload + 2);
}

// Block values: background with the camera id on the upper line and the last
// digits of the sequence number on the lower one.
void DrawImage(const FrameStamp& stamp, std::array<std::uint8_t, kBlocksAcross * kBlocksDown>* px) {
  for (int r = 0; r < kBlocksDown; ++r)
    for (int c = 0; c < kBlocksAcross; ++c)
      (*px)[r * kBlocksAcross + c] = static_cast<std::uint8_t>(kBackground + c + r);
  auto draw_number = [&](std::uint64_t value, int top) {
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%" PRIu64, value);
    const char* shown = n > kDigitsShown ? digits + (n - kDigitsShown) : digits;
    for (int i = 0; shown[i]; ++i) {
      std::uint16_t glyph = kFont[shown[i] - '0'];
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 3; ++x)
          if (glyph & (1u << (14 - (y * 3 + x))))
            (*px)[(top + y) * kBlocksAcross + 1 + i * 4 + x] = kInk;
    }
  };
  draw_number(static_cast<std::uint64_t>(stamp.camera < 0 ? 0 : stamp.camera), 1);
  draw_number(stamp.seq, 7);
}

// Appends everything from the quantisation table to EOI.
void AppendImage(const FrameStamp& stamp, std::string* out) {
  static const std::array<HuffCode, kDcCategories> dc_codes = MakeDcCodes();

  PutSegmentHeader(out, 0xDB, 65);  // DQT: table 0, 8-bit entries
  out->push_back('\0');
  out->append(64, static_cast<char>(kQuant));

  PutSegmentHeader(out, 0xC0, 9);  // SOF0: 8 bits, one component
  out->push_back(8);
  PutU16(out, kFrameHeight);
  PutU16(out, kFrameWidth);
  out->push_back(1);
  out->push_back(1);     // component id
  out->push_back(0x11);  // no subsampling
  out->push_back(0);     // quantisation table 0

  PutSegmentHeader(out, 0xC4, 1 + 16 + kDcCategories);  // DHT: DC table 0
  out->push_back(0x00);
  for (std::uint8_t b : kDcBits) out->push_back(static_cast<char>(b));
  for (int s = 0; s < kDcCategories; ++s) out->push_back(static_cast<char>(s));

  PutSegmentHeader(out, 0xC4, 1 + 16 + 1);  // DHT: AC table 0
  out->push_back(0x10);
  for (std::uint8_t b : kAcBits) out->push_back(static_cast<char>(b));
  out->push_back(0x00);  // end of block

  PutSegmentHeader(out, 0xDA, 6);  // SOS: one component, full spectrum
  out->push_back(1);
  out->push_back(1);
  out->push_back(0x00);
  out->push_back(0);
  out->push_back(63);
  out->push_back(0);

  std::array<std::uint8_t, kBlocksAcross * kBlocksDown> px{};
  DrawImage(stamp, &px);
  BitWriter bits(out);
  int previous = 0;
  for (std::uint8_t p : px) {
    int dc = static_cast<int>(p) - 128;
    int diff = dc - previous;
    previous = dc;
    int magnitude = std::abs(diff);
    int category = 0;
    while (magnitude >> category) ++category;
    bits.Put(dc_codes[category].code, dc_codes[category].length);
    if (category > 0) {
      // Negative differences are sent as their one's complement.
      std::uint32_t raw = static_cast<std::uint32_t>(diff < 0 ? diff - 1 : diff);
      bits.Put(raw & ((1u << category) - 1), category);
    }
    bits.Put(0, 1);  // end of block
  }
  bits.Flush();
  PutMarker(out, 0xD9);
}

void AppendComment(const std::string& text, std::string* out) {
  PutSegmentHeader(out, 0xFE, text.size());
  out->append(text);
}

// Fills `total` bytes with APP15 segments of padding; `total` is 0 or at
// least one segment's overhead.
void AppendPadding(std::size_t total, std::string* out) {
  while (total > 0) {
    std::size_t take = std::min(total, kMaxSegmentPayload + kSegmentOverhead);
    // Never leave a remainder too small for a segment of its own.
    if (total - take > 0 && total - take < kSegmentOverhead) take -= kSegmentOverhead;
    PutSegmentHeader(out, 0xEF, take - kSegmentOverhead);
    out->append(take - kSegmentOverhead, static_cast<char>(kPaddingByte));
    total -= take;
  }
}

}  // namespace

std::string FrameComment(const FrameStamp& stamp) {
  char text[96];
  std::snprintf(text, sizeof text, "ocelam-sim cam=%d seq=%" PRIu64 " t=%" PRId64, stamp.camera,
                stamp.seq, stamp.time_us);
  return text;
}

void BuildFrame(const FrameStamp& stamp, std::size_t size, bool exif, std::string* out) {
  thread_local std::string image;
  thread_local std::string app1;
  image.clear();
  AppendImage(stamp, &image);
  app1.clear();
  if (exif) {
    // The thumbnail shows the same digits; its comment is no stamp, so a
    // reader that finds two stamps in one file knows two frames were glued.
    // Its natural size (well under 64 KB) always fits one segment.
    thread_local std::string thumbnail;
    thumbnail.clear();
    PutMarker(&thumbnail, 0xD8);
    AppendComment(kThumbnailComment, &thumbnail);
    AppendImage(stamp, &thumbnail);
    static constexpr char kExifHeader[] = {'E', 'x', 'i', 'f', '\0', '\0'};
    PutSegmentHeader(&app1, 0xE1, sizeof kExifHeader + thumbnail.size());
    app1.append(kExifHeader, sizeof kExifHeader);
    app1.append(thumbnail);
  }
  std::string comment = FrameComment(stamp);
  std::size_t natural = 2 + app1.size() + kSegmentOverhead + comment.size() + image.size();
  std::size_t padding = size > natural ? size - natural : 0;
  // Too little room for a padding segment: lengthen the comment instead.
  if (padding < kSegmentOverhead) {
    comment.append(padding, ' ');
    padding = 0;
  }
  out->clear();
  out->reserve(std::max(size, natural));
  PutMarker(out, 0xD8);
  out->append(app1);
  AppendComment(comment, out);
  AppendPadding(padding, out);
  out->append(image);
}

std::int64_t NowRealtimeUs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace sim

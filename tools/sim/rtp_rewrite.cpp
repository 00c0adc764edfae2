#include "rtp_rewrite.h"

#include <cmath>
#include <vector>

namespace sim {
namespace {

constexpr std::size_t kRtpHeader = 12;
constexpr int kFuA = 28;
constexpr int kSpsType = 7;

// Reads bits of an RBSP, most significant first; past the end it reads 0
// and marks itself failed.
class BitReader {
 public:
  explicit BitReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  std::uint32_t Bits(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }
  std::uint32_t Bit() {
    if (pos_ >= bytes_.size() * 8) {
      failed_ = true;
      return 0;
    }
    const std::uint32_t b = (bytes_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
    ++pos_;
    return b;
  }
  std::uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0 && !failed_)
      if (++zeros > 31) failed_ = true;
    return failed_ ? 0 : (1u << zeros) - 1 + Bits(zeros);
  }
  std::size_t pos() const { return pos_; }
  bool failed() const { return failed_; }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

class BitWriter {
 public:
  void Bits(std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) Bit((v >> i) & 1);
  }
  void Bit(std::uint32_t b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> (count_ % 8));
    ++count_;
  }
  void Ue(std::uint32_t v) {
    const std::uint64_t x = static_cast<std::uint64_t>(v) + 1;
    int bits = 0;
    while ((x >> bits) > 1) ++bits;
    Bits(0, bits);
    Bits(static_cast<std::uint32_t>(x), bits + 1);
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t count_ = 0;
};

// Copies `reader`'s next Exp-Golomb number (or `n` plain bits) to `writer`.
std::uint32_t CopyUe(BitReader& r, BitWriter& w) {
  const std::uint32_t v = r.Ue();
  w.Ue(v);
  return v;
}
std::uint32_t CopyBits(BitReader& r, BitWriter& w, int n) {
  const std::uint32_t v = r.Bits(n);
  w.Bits(v, n);
  return v;
}

bool HighProfile(std::uint32_t profile) {
  for (std::uint32_t p : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u})
    if (p == profile) return true;
  return false;
}

// The SPS RBSP `in` (NAL header excluded) with another picture size.
bool RewriteSpsRbsp(const std::vector<std::uint8_t>& in, int width, int height,
                    std::vector<std::uint8_t>* out) {
  BitReader r(in);
  BitWriter w;
  const std::uint32_t profile = CopyBits(r, w, 8);
  CopyBits(r, w, 16);  // constraint flags, level
  CopyUe(r, w);        // sps id
  if (HighProfile(profile)) {
    if (CopyUe(r, w) == 3) CopyBits(r, w, 1);  // chroma format, separate planes
    CopyUe(r, w);                              // bit depths
    CopyUe(r, w);
    CopyBits(r, w, 1);
    if (CopyBits(r, w, 1) != 0) return false;  // scaling matrices: not read here
  }
  CopyUe(r, w);  // log2 max frame num
  const std::uint32_t poc_type = CopyUe(r, w);
  if (poc_type == 0) {
    CopyUe(r, w);
  } else if (poc_type == 1) {
    CopyBits(r, w, 1);
    CopyUe(r, w);  // signed values copy as their codes
    CopyUe(r, w);
    const std::uint32_t cycle = CopyUe(r, w);
    if (cycle > 255) return false;
    for (std::uint32_t i = 0; i < cycle; ++i) CopyUe(r, w);
  }
  CopyUe(r, w);        // reference frames
  CopyBits(r, w, 1);   // gaps allowed
  r.Ue();              // width and height in macroblocks, replaced
  r.Ue();
  const std::uint32_t frame_mbs_only = r.Bit();
  w.Ue(static_cast<std::uint32_t>(width / 16 - 1));
  w.Ue(static_cast<std::uint32_t>(height / 16 / (frame_mbs_only ? 1 : 2) - 1));
  w.Bit(frame_mbs_only);
  if (!frame_mbs_only) CopyBits(r, w, 1);
  CopyBits(r, w, 1);  // direct 8x8 inference
  if (r.Bit()) {      // cropping of the old size: dropped
    for (int i = 0; i < 4; ++i) r.Ue();
  }
  w.Bit(0);
  if (r.failed()) return false;
  // The rest up to the stop bit as it is, then a stop bit of its own.
  std::size_t stop = in.size() * 8;
  while (stop > r.pos() && ((in[(stop - 1) / 8] >> (7 - (stop - 1) % 8)) & 1) == 0) --stop;
  if (stop <= r.pos()) return false;
  while (r.pos() < stop - 1) w.Bit(r.Bit());
  w.Bit(1);
  *out = std::move(w.bytes());
  return true;
}

// Emulation prevention: 0x03 removed after two zero bytes, or added.
std::vector<std::uint8_t> Unescape(std::string_view nal) {
  std::vector<std::uint8_t> out;
  int zeros = 0;
  for (char c : nal) {
    const auto b = static_cast<std::uint8_t>(c);
    if (zeros >= 2 && b == 3) {
      zeros = 0;
      continue;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out.push_back(b);
  }
  return out;
}
void AppendEscaped(const std::vector<std::uint8_t>& rbsp, std::string* out) {
  int zeros = 0;
  for (std::uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out->push_back(3);
      zeros = 0;
    }
    zeros = b == 0 ? zeros + 1 : 0;
    out->push_back(static_cast<char>(b));
  }
}

}  // namespace

std::string FillerNal(bool h265, std::size_t size) {
  std::string nal("\0\0\0\1", 4);
  if (h265) {
    nal += static_cast<char>(38 << 1);
    nal += '\1';
  } else {
    nal += static_cast<char>(12);
  }
  nal.append(size, '\xFF');
  nal += '\x80';
  return nal;
}

bool RewriteSpsPicture(std::string_view au, int width, int height, std::string* out) {
  std::string result;
  bool changed = false;
  std::size_t at = au.find(std::string_view("\0\0\1", 3));
  if (at == std::string_view::npos) return false;
  result.append(au.substr(0, at));
  while (at != std::string_view::npos) {
    const std::size_t start = at + 3;
    std::size_t next = au.find(std::string_view("\0\0\1", 3), start);
    std::size_t end = next == std::string_view::npos ? au.size() : next;
    // A four-byte start code leaves its zero at the end of this unit.
    const std::size_t keep_end = end;
    while (end > start && au[end - 1] == 0 && next != std::string_view::npos) --end;
    const std::string_view nal = au.substr(start, end - start);
    std::vector<std::uint8_t> rbsp;
    result.append("\0\0\1", 3);
    if (!nal.empty() && (nal[0] & 0x1F) == kSpsType &&
        RewriteSpsRbsp(Unescape(nal.substr(1)), width, height, &rbsp)) {
      result += nal[0];
      AppendEscaped(rbsp, &result);
      changed = true;
    } else {
      result.append(nal);
    }
    result.append(au.substr(end, keep_end - end));
    at = next;
  }
  if (changed) *out = std::move(result);
  return changed;
}

bool EndlessFragment(std::string_view packet, EndlessFrame* frame, std::string* out) {
  if (packet.size() <= kRtpHeader + 1) return false;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(packet[i]); };
  std::size_t header = kRtpHeader + 4 * (byte(0) & 0x0F);
  if ((byte(0) & 0x10) != 0 && packet.size() >= header + 4)
    header += 4 + 4 * ((byte(header + 2) << 8) | byte(header + 3));
  if (packet.size() <= header + 1) return false;
  const std::uint8_t nal = byte(header);
  const int type = nal & 0x1F;
  const bool slice = type == 1 || type == 5 || (type == kFuA && (byte(header + 1) & 0x80) != 0);
  if (!frame->started && !slice) return false;
  if (!frame->started) frame->timestamp = RtpTimestamp(packet);
  std::string p(packet.substr(0, header));
  p[1] = static_cast<char>(byte(1) & 0x7F);  // no marker
  for (int i = 0; i < 4; ++i)
    p[4 + i] = static_cast<char>((frame->timestamp >> (24 - 8 * i)) & 0xFF);
  const int inner = type == kFuA ? (byte(header + 1) & 0x1F) : (type < 24 ? type : 1);
  p += static_cast<char>((nal & 0xE0) | kFuA);
  p += static_cast<char>((frame->started ? 0 : 0x80) | inner);
  p.append(packet.substr(header + (type == kFuA ? 2 : 1)));
  frame->started = true;
  *out = std::move(p);
  return true;
}

std::uint32_t RtpTimestamp(std::string_view packet) {
  if (packet.size() < kRtpHeader) return 0;
  std::uint32_t ts = 0;
  for (int i = 4; i < 8; ++i) ts = (ts << 8) | static_cast<std::uint8_t>(packet[i]);
  return ts;
}

bool ShiftRtpTimestamp(std::string* packet, std::uint32_t shift) {
  if (packet->size() < kRtpHeader) return false;
  const std::uint32_t ts = RtpTimestamp(*packet) + shift;
  for (int i = 0; i < 4; ++i) (*packet)[4 + i] = static_cast<char>((ts >> (24 - 8 * i)) & 0xFF);
  return true;
}

int ShiftSenderReports(std::string* rtcp, std::int64_t shift_ms) {
  constexpr int kSenderReport = 200;
  // NTP time is seconds in the high word and 2^-32 s in the low one.
  const auto shift = static_cast<std::int64_t>(std::llround(static_cast<double>(shift_ms) *
                                                            4294967296.0 / 1000.0));
  int changed = 0;
  std::string& b = *rtcp;
  for (std::size_t at = 0; at + 4 <= b.size();) {
    const std::size_t length =
        4 * (((static_cast<std::uint8_t>(b[at + 2]) << 8) | static_cast<std::uint8_t>(b[at + 3])) +
             1);
    if (static_cast<std::uint8_t>(b[at + 1]) == kSenderReport && at + 16 <= b.size()) {
      std::uint64_t ntp = 0;
      for (int i = 0; i < 8; ++i) ntp = (ntp << 8) | static_cast<std::uint8_t>(b[at + 8 + i]);
      ntp += static_cast<std::uint64_t>(shift);
      for (int i = 0; i < 8; ++i) b[at + 8 + i] = static_cast<char>((ntp >> (56 - 8 * i)) & 0xFF);
      ++changed;
    }
    at += length;
  }
  return changed;
}

}  // namespace sim

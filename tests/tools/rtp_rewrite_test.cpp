// The simulator's rewrites of RTSP cameras' bytes: an SPS that announces
// another size (checked against one FFmpeg read as 16384x16384), the
// fragments of a frame that never ends, and stepped sender reports.
#include "sim/rtp_rewrite.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string FromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

// x264's SPS of 320x240 (baseline, then main with B-frames), and the
// baseline one rewritten, as FFmpeg reads it: "Picture size 16384x16384".
constexpr const char* kBaseline = "6742c014da0507ec05a8303035280000030008000003019478a155";
constexpr const char* kMain = "674d4014f60a0fd80b5060606a5000000300100000030328f1429380";
constexpr const char* kHuge = "6742c014da00100000801b016a0c0c0d4a000003000200000300651e285540";

struct SpsCase {
  const char* name;
  const char* in;
  int width, height;
  const char* out;
};

TEST(RtpRewrite, SpsAnnouncesTheSizeAskedFor) {
  const SpsCase cases[] = {
      {"baseline to 16384", kBaseline, 16384, 16384, kHuge},
      {"back to 320x240", kHuge, 320, 240, kBaseline},
      {"main profile, same size", kMain, 320, 240, kMain},
  };
  const std::string start("\0\0\0\1", 4);
  const std::string slice = start + FromHex("65888420");
  for (const SpsCase& c : cases) {
    std::string out;
    ASSERT_TRUE(sim::RewriteSpsPicture(start + FromHex(c.in) + slice, c.width, c.height, &out))
        << c.name;
    EXPECT_EQ(out, start + FromHex(c.out) + slice) << c.name;
  }
}

TEST(RtpRewrite, EndlessFrameNeverEnds) {
  const std::string header = FromHex("80e00001000003e800000001");  // marker set, ts 1000
  const std::string later = FromHex("80e00002000007d000000001");   // ts 2000
  struct Step {
    std::string in;
    bool rewritten;
    std::string out;
  } steps[] = {
      {header + FromHex("6742"), false, ""},                       // SPS before the frame: as it is
      {header + FromHex("65aabb"), true, FromHex("7c85aabb")},     // slice: FU-A start
      {later + FromHex("7c45ccdd"), true, FromHex("7c05ccdd")},    // FU-A end: no end bit
      {later + FromHex("4101ee"), true, FromHex("5c0101ee")},      // next slice: a middle part
  };
  sim::EndlessFrame frame;
  for (const Step& s : steps) {
    std::string out;
    ASSERT_EQ(sim::EndlessFragment(s.in, &frame, &out), s.rewritten);
    if (!s.rewritten) continue;
    EXPECT_EQ(out.substr(12), s.out);
    EXPECT_EQ(static_cast<std::uint8_t>(out[1]), 0x60);  // no marker
    EXPECT_EQ(sim::RtpTimestamp(out), 1000u);
  }
}

TEST(RtpRewrite, SenderReportsStepTheirNtpTimeOnly) {
  // An SR (NTP 1000.5 s) and an SDES item after it.
  std::string rtcp = FromHex("80c80006" "00000001" "000003e880000000" "00000064" "00000000"
                             "00000000" "81ca0001" "00000001");
  const std::string before = rtcp;
  ASSERT_EQ(sim::ShiftSenderReports(&rtcp, -1500), 1);
  EXPECT_EQ(rtcp.substr(8, 8), FromHex("000003e700000000"));
  EXPECT_EQ(rtcp.substr(16), before.substr(16));
}

}  // namespace

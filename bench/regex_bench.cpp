// Our regular-expression engine against the C library's (regcomp/regexec,
// extended syntax) on the texts the gateway matches:
//  (a) alarm-input lines from a video server, one expression with five
//      groups (IO box, pin, state, type, raw data), 100,000 lines;
//  (b) replies of about 2 KB to a recording start, searched for the handle.
// Each is timed twice: matching with an expression compiled once, and
// compiling, matching and releasing for every text, which is what the
// gateway does. Both engines must find the same parts; any difference is
// printed. Best of several runs, so other load on the machine counts less.
#include <regex.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "camera_http/regex.h"

namespace {

constexpr int kAlarmLines = 100000;
constexpr int kReplies = 2000;
constexpr int kReplyRounds = 10;
constexpr int kRuns = 5;
constexpr int kGroups = 5;

// Small deterministic generator, so every run sees the same texts.
struct Random {
  std::uint64_t state = 0x9e3779b97f4a7c15ull;
  std::uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint32_t>(state);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint32_t>(n)); }
};

std::string Timestamp(Random& random) {
  char text[32];
  std::snprintf(text, sizeof text, "2026-12-%02d %02d:%02d:%02d", 1 + random.Below(28),
                random.Below(24), random.Below(60), random.Below(60));
  return text;
}

// Lines as a video server reports them: mostly input events, some status
// lines the expression does not take.
std::vector<std::string> AlarmLines(bool csv) {
  static const char* const kStates[] = {"ON", "OFF", "on", "off", "1", "0"};
  static const char* const kTypes[] = {"DI", "DO", "RELAY", "MOTION"};
  Random random;
  std::vector<std::string> lines;
  lines.reserve(kAlarmLines);
  char line[256];
  for (int i = 0; i < kAlarmLines; ++i) {
    int box = 1 + random.Below(16);
    int pin = 1 + random.Below(8);
    const char* state = kStates[random.Below(6)];
    const char* type = kTypes[random.Below(4)];
    unsigned raw = random.Next() & 0xffff;
    std::string when = Timestamp(random);
    if (random.Below(10) < 2) {
      std::snprintf(line, sizeof line, "%s STATUS box=%d temp=%d fan=ok uptime=%u", when.c_str(),
                    box, 20 + random.Below(40), random.Next() % 1000000);
    } else if (csv) {
      std::snprintf(line, sizeof line, "EVT;%s;IO;%d,%d,%s,%s,raw=0x%04X;seq=%d", when.c_str(), box,
                    pin, state, type, raw, i);
    } else {
      std::snprintf(line, sizeof line,
                    "%s ALARM box=%d input=%d state=%s type=%s data=0x%04X seq=%d", when.c_str(),
                    box, pin, state, type, raw, i);
    }
    lines.emplace_back(line);
  }
  return lines;
}

// A recording start reply: status line, headers, an XML body with the handle
// near its end, padded to about 2 KB.
std::vector<std::string> RecordingReplies() {
  Random random;
  std::vector<std::string> replies;
  for (int i = 0; i < kReplies; ++i) {
    std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<RecordingResponse>\r\n";
    int channels = 20 + random.Below(6);
    for (int c = 0; c < channels; ++c) {
      char entry[160];
      std::snprintf(entry, sizeof entry,
                    "  <Channel "
                    "id=\"%d\"><State>idle</State><Bitrate>%d</Bitrate><Storage>disk%d</Storage></"
                    "Channel>\r\n",
                    c, 512 + random.Below(4096), random.Below(4));
      body += entry;
    }
    char handle[96];
    std::snprintf(handle, sizeof handle, "  <RecordingHandle>%u</RecordingHandle>\r\n",
                  random.Next() % 100000);
    body += handle;
    body += "</RecordingResponse>\r\n";
    char head[256];
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 200 OK\r\nServer: VideoServer/4.2\r\nContent-Type: "
                  "text/xml\r\nContent-Length: %zu\r\n"
                  "Connection: close\r\n\r\n",
                  body.size());
    replies.push_back(head + body);
  }
  return replies;
}

double BestMilliseconds(const std::function<void()>& body) {
  double best = 1e300;
  for (int run = 0; run < kRuns; ++run) {
    auto start = std::chrono::steady_clock::now();
    body();
    std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    best = std::min(best, spent.count());
  }
  return best;
}

// Positions of the whole match and the groups, -1 where there is none.
using Parts = std::vector<long>;

Parts OurParts(const camera_http::regexp* prog, const char* text, bool matched) {
  Parts parts(2 * (kGroups + 1), -1);
  if (!matched) return parts;
  for (int i = 0; i <= kGroups; ++i) {
    if (prog->startp[i] == nullptr) continue;
    parts[2 * i] = prog->startp[i] - text;
    parts[2 * i + 1] = prog->endp[i] - text;
  }
  return parts;
}

Parts LibraryParts(const regmatch_t* match, bool matched) {
  Parts parts(2 * (kGroups + 1), -1);
  if (!matched) return parts;
  for (int i = 0; i <= kGroups; ++i) {
    parts[2 * i] = match[i].rm_so;
    parts[2 * i + 1] = match[i].rm_eo;
  }
  return parts;
}

// Times both engines on `texts` (each matched `rounds` times) and prints the lines of one case.
bool Compare(const char* title, const char* expression, const std::vector<std::string>& texts,
             int rounds) {
  camera_http::regexp* ours = camera_http::regcompile(expression);
  regex_t library;
  if (ours == nullptr || regcomp(&library, expression, REG_EXTENDED) != 0) {
    std::printf("%s: expression does not compile\n", title);
    return false;
  }

  // Same answers first.
  int matched = 0;
  int differ = 0;
  for (const std::string& text : texts) {
    regmatch_t match[kGroups + 1];
    bool a = camera_http::regexecute(ours, text.c_str()) == 1;
    bool b = regexec(&library, text.c_str(), kGroups + 1, match, 0) == 0;
    matched += a;
    if (OurParts(ours, text.c_str(), a) != LibraryParts(match, b)) {
      if (++differ <= 3) std::printf("  differs on: %s\n", text.c_str());
    }
  }

  long sink = 0;
  double ours_match = BestMilliseconds([&] {
    for (int r = 0; r < rounds; ++r) {
      for (const std::string& text : texts) sink += camera_http::regexecute(ours, text.c_str());
    }
  });
  double library_match = BestMilliseconds([&] {
    regmatch_t match[kGroups + 1];
    for (int r = 0; r < rounds; ++r) {
      for (const std::string& text : texts)
        sink += regexec(&library, text.c_str(), kGroups + 1, match, 0) == 0;
    }
  });
  double ours_full = BestMilliseconds([&] {
    char value[64];
    for (int r = 0; r < rounds; ++r) {
      for (const std::string& text : texts) {
        camera_http::regexp* prog = camera_http::regcompile(expression);
        if (camera_http::regexecute(prog, text.c_str()) == 1) {
          camera_http::regsub(prog, "\\1", value, sizeof value);
          sink += value[0];
        }
        camera_http::regrelease(prog);
      }
    }
  });
  double library_full = BestMilliseconds([&] {
    regmatch_t match[kGroups + 1];
    char value[64];
    for (int r = 0; r < rounds; ++r) {
      for (const std::string& text : texts) {
        regex_t prog;
        regcomp(&prog, expression, REG_EXTENDED);
        if (regexec(&prog, text.c_str(), kGroups + 1, match, 0) == 0) {
          int length = std::min<int>(match[1].rm_eo - match[1].rm_so, sizeof value - 1);
          std::snprintf(value, sizeof value, "%.*s", length, text.c_str() + match[1].rm_so);
          sink += value[0];
        }
        regfree(&prog);
      }
    }
  });
  camera_http::regrelease(ours);
  regfree(&library);

  std::size_t total = texts.size() * static_cast<std::size_t>(rounds);
  std::printf(
      "%s\n  expression %s\n  %zu matches of %zu texts (x%d rounds), %d with different parts\n",
      title, expression, static_cast<std::size_t>(matched), texts.size(), rounds, differ);
  std::printf("  %-28s %12s %12s %10s\n", "", "ours", "glibc", "ours/glibc");
  std::printf("  %-28s %9.1f ms %9.1f ms %10.3f   (%.0f / %.0f ns per text)\n",
              "match (compiled once)", ours_match, library_match, ours_match / library_match,
              ours_match * 1e6 / total, library_match * 1e6 / total);
  std::printf("  %-28s %9.1f ms %9.1f ms %10.3f   (%.0f / %.0f ns per text)\n",
              "compile+match+release each", ours_full, library_full, ours_full / library_full,
              ours_full * 1e6 / total, library_full * 1e6 / total);
  if (sink == 42) std::printf(" ");  // keeps the work from being optimised away
  return differ == 0;
}

}  // namespace

int main() {
  bool same = true;
  const std::vector<std::string> lines = AlarmLines(false);
  same &= Compare("(a) alarm-input lines, literal before the groups",
                  "box=([0-9]+) input=([0-9]+) state=([A-Za-z0-9]+) type=([A-Za-z]+) data=(.*)$",
                  lines, 1);
  const std::vector<std::string> csv_lines = AlarmLines(true);
  same &= Compare("(a') alarm-input lines, groups first (no literal to search for)",
                  "([0-9]+),([0-9]+),(ON|OFF|on|off|0|1),([A-Z]+),raw=(.*)", csv_lines, 1);
  const std::vector<std::string> replies = RecordingReplies();
  std::printf("(replies average %zu bytes)\n", [&] {
    std::size_t sum = 0;
    for (const std::string& r : replies) sum += r.size();
    return sum / replies.size();
  }());
  same &= Compare("(b) recording start replies, handle by its element",
                  "<RecordingHandle>([0-9]+)</RecordingHandle>", replies, kReplyRounds);
  same &= Compare("(b') recording start replies, handle after a set", "[Hh]andle>([0-9]+)<",
                  replies, kReplyRounds);
  return same ? 0 : 1;
}

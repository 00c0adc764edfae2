#pragma once
// Test side of the device simulator: starting it, talking to its control
// port, reading its MJPEG streams and checking its JPEGs. Independent of the
// simulator's own code, so each checks the other.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/sandbox.h"

namespace sim_test {

// Every read of a test socket gives up after this long.
inline constexpr int kSocketTimeoutS = 30;

inline std::int64_t RealtimeUs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A connected loopback socket, or -1 with errno set (ECONNREFUSED when nobody
// listens).
inline int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  timeval tv{kSocketTimeoutS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

inline bool SendText(int fd, const std::string& s) {
  return send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
}

// One HTTP/1.0 GET on loopback: the status code, the body and the head up
// to its empty line ("" and 0 when nothing answers).
inline int HttpGet(int port, const std::string& path, std::string* body,
                   std::string* head = nullptr) {
  body->clear();
  int fd = Connect(port);
  if (fd < 0) return 0;
  std::string reply;
  if (SendText(fd, "GET " + path + " HTTP/1.0\r\n\r\n")) {
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  std::size_t end = reply.find("\r\n\r\n");
  if (reply.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return 0;
  *body = reply.substr(end + 4);
  if (head) *head = reply.substr(0, end + 2);
  return std::atoi(reply.c_str() + 9);
}

// The reverse of the simulator's escapes (\r \n \t \0 \\ \" \xHH), written
// again here so that each side checks the other.
inline std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      c = text[++i];
      if (c == 'x' && i + 2 < text.size()) {
        c = static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else if (std::size_t k = std::string_view("rnt0").find(c); k != std::string::npos) {
        c = "\r\n\t"[k];  // the literal's own NUL for "0"
      }
    }
    out += c;
  }
  return out;
}

// One request as the simulator recorded it.
struct RecordedRequest {
  unsigned long long number = 0;
  unsigned long long connection = 0;
  long long time_us = 0;
  std::string action;
  std::string bytes;  // unescaped: exactly what the device received
};

// Parses the "request KIND ID n=N conn=C t=US action=A len=L data=..." lines
// of a reply; lines of another form are skipped.
inline std::vector<RecordedRequest> ParseRequests(const std::string& reply) {
  std::vector<RecordedRequest> out;
  std::istringstream lines(reply);
  for (std::string line; std::getline(lines, line);) {
    RecordedRequest r;
    char action[64] = {};
    std::size_t length = 0;
    int used = 0;
    if (std::sscanf(line.c_str(),
                    "request %*s %*d n=%llu conn=%llu t=%lld action=%63s len=%zu data=%n",
                    &r.number, &r.connection, &r.time_us, action, &length, &used) != 5 ||
        used == 0)
      continue;
    r.action = action;
    r.bytes = Unescape(line.substr(static_cast<std::size_t>(used)));
    if (r.bytes.size() != length) r.action += "!length";
    out.push_back(r);
  }
  return out;
}

// The simulator as a child process in a private directory.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {OCELAM_SIM_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    output_ = dir_ / "sim.out";
    child_ = std::make_unique<testing_support::Child>(argv, dir_.path(), std::vector<std::string>{},
                                                      output_);
    ready_ = testing_support::WaitFor([&] {
               return Output().find("\nready\n") != std::string::npos || !child_->running();
             }) &&
             child_->running();
    std::istringstream lines(Output());
    for (std::string line; std::getline(lines, line);) {
      char kind[32];
      int id = 0, port = 0;
      if (std::sscanf(line.c_str(), "control port %d", &port) == 1)
        control_port_ = port;
      else if (std::sscanf(line.c_str(), "%31s %d port %d", kind, &id, &port) == 3)
        ports_[std::string(kind) + " " + std::to_string(id)] = port;
    }
  }

  bool ready() const { return ready_; }
  int port(int camera) const { return port("camera", camera); }
  int control_port() const { return control_port_; }
  int port(const std::string& kind, int id) const {
    auto it = ports_.find(kind + " " + std::to_string(id));
    return it == ports_.end() ? -1 : it->second;
  }
  std::string Output() const { return testing_support::ReadFile(output_); }

  // Sends one command on a fresh control connection; returns the reply up
  // to and including its "ok" or "error" line.
  std::string Control(const std::string& command) const {
    int fd = Connect(control_port_);
    if (fd < 0) return "error cannot connect";
    std::string reply;
    if (SendText(fd, command + "\n")) {
      char buf[1024];
      while (true) {
        std::size_t last = reply.rfind('\n', reply.empty() ? 0 : reply.size() - 2);
        std::string tail = reply.substr(last == std::string::npos ? 0 : last + 1);
        if (!reply.empty() && reply.back() == '\n' &&
            (tail.rfind("ok", 0) == 0 || tail.rfind("error", 0) == 0))
          break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        reply.append(buf, static_cast<std::size_t>(n));
      }
    }
    close(fd);
    return reply;
  }

  // The value of one counter of `stats camera ID`, or -1.
  long long Stat(int camera, const std::string& name) const { return Stat("camera", camera, name); }
  long long Stat(const std::string& kind, int id, const std::string& name) const {
    std::string reply = Control("stats " + kind + " " + std::to_string(id));
    std::size_t at = reply.find(" " + name + "=");
    if (at == std::string::npos) return -1;
    return std::atoll(reply.c_str() + at + name.size() + 2);
  }

  // When RTSP camera `camera` took its frames `from` to `to` (those it
  // kept): frame number to CLOCK_REALTIME microseconds.
  std::map<long long, long long> Taken(int camera, long long from, long long to) const {
    std::map<long long, long long> sent;
    std::istringstream items(Control("taken camera " + std::to_string(camera) + " " +
                                     std::to_string(from) + " " + std::to_string(to)));
    std::string item;
    items >> item;  // "ok"
    long long n = 0, us = 0;
    while (items >> item)
      if (std::sscanf(item.c_str(), "%lld=%lld", &n, &us) == 2) sent[n] = us;
    return sent;
  }

  // The requests a device has recorded, from number `from` on.
  std::vector<RecordedRequest> Requests(const std::string& kind, int id, int from = 1) const {
    return ParseRequests(
        Control("requests " + kind + " " + std::to_string(id) + " " + std::to_string(from)));
  }
  // Waits until the device has recorded at least `count` requests.
  std::vector<RecordedRequest> AwaitRequests(const std::string& kind, int id,
                                             std::size_t count) const {
    std::vector<RecordedRequest> got;
    testing_support::WaitFor([&] {
      got = Requests(kind, id);
      return got.size() >= count;
    });
    return got;
  }

 private:
  testing_support::TempDir dir_;
  std::string output_;
  std::unique_ptr<testing_support::Child> child_;
  bool ready_ = false;
  std::map<std::string, int> ports_;
  int control_port_ = -1;
};

// What a checked JPEG holds.
struct JpegInfo {
  int width = 0;
  int height = 0;
  std::vector<std::string> comments;
  int blocks = 0;  // 8x8 blocks decoded from the entropy-coded data
};

// Checks that `jpeg` is a baseline JPEG a standard decoder takes: marker
// segments in bounds, one 8-bit frame, Huffman tables that the scan's codes
// all decode with, every block of the image present and in range, and no
// marker between the scan and the final EOI. Marker segments are stepped
// over by their length, so an EXIF thumbnail with its own SOI and EOI inside
// an APPn segment is fine, while a second frame glued on (or into) the first
// is not. Empty result when fine, otherwise what is wrong.
inline std::string CheckJpeg(const std::string& jpeg, JpegInfo* info) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(jpeg.data());
  const std::size_t n = jpeg.size();
  if (n < 4 || b[0] != 0xFF || b[1] != 0xD8) return "no SOI at the start";
  if (b[n - 2] != 0xFF || b[n - 1] != 0xD9) return "no EOI at the end";

  struct Huffman {
    bool present = false;
    int counts[17] = {};
    std::vector<int> symbols;
  };
  Huffman tables[2][4];
  int quant[4][64] = {};
  bool have_quant[4] = {};
  int comp_quant = 0, dc_table = -1, ac_table = -1;
  std::size_t pos = 2;
  while (true) {
    if (pos + 4 > n || b[pos] != 0xFF) return "segment expected at offset " + std::to_string(pos);
    std::uint8_t marker = b[pos + 1];
    std::size_t length = (b[pos + 2] << 8) | b[pos + 3];
    if (length < 2 || pos + 2 + length > n) return "segment out of bounds";
    const std::uint8_t* p = b + pos + 4;
    std::size_t payload = length - 2;
    if (marker == 0xFE) {
      info->comments.emplace_back(reinterpret_cast<const char*>(p), payload);
    } else if (marker == 0xDB) {
      for (std::size_t i = 0; i + 65 <= payload; i += 65) {
        if ((p[i] >> 4) != 0 || (p[i] & 15) > 3) return "DQT not 8-bit";
        for (int k = 0; k < 64; ++k) quant[p[i] & 15][k] = p[i + 1 + k];
        have_quant[p[i] & 15] = true;
      }
    } else if (marker == 0xC0) {
      if (payload < 9 || p[0] != 8) return "SOF0 not 8-bit";
      info->height = (p[1] << 8) | p[2];
      info->width = (p[3] << 8) | p[4];
      if (p[5] != 1) return "expected one component";
      comp_quant = p[8];
    } else if ((marker >= 0xC1 && marker <= 0xCF) && marker != 0xC4 && marker != 0xC8 &&
               marker != 0xCC) {
      return "not a baseline frame";
    } else if (marker == 0xC4) {
      std::size_t i = 0;
      while (i + 17 <= payload) {
        int cls = p[i] >> 4, id = p[i] & 15;
        if (cls > 1 || id > 3) return "bad DHT class or id";
        Huffman& h = tables[cls][id] = Huffman{};
        h.present = true;
        int total = 0;
        for (int l = 1; l <= 16; ++l) total += h.counts[l] = p[i + l];
        if (i + 17 + total > payload) return "DHT out of bounds";
        for (int k = 0; k < total; ++k) h.symbols.push_back(p[i + 17 + k]);
        i += 17 + total;
      }
    } else if (marker == 0xDA) {
      if (payload < 6 || p[0] != 1) return "SOS not for one component";
      dc_table = p[2] >> 4, ac_table = p[2] & 15;
      if (p[3] != 0 || p[4] != 63 || p[5] != 0) return "SOS not sequential";
      pos += 2 + length;
      break;
    } else if (!(marker >= 0xE0 && marker <= 0xEF)) {
      return "unexpected marker " + std::to_string(marker);
    }
    pos += 2 + length;
  }
  if (info->width == 0 || info->height == 0) return "no frame header before the scan";
  if (!have_quant[comp_quant & 3]) return "quantisation table missing";
  if (dc_table < 0 || dc_table > 3 || ac_table > 3 || !tables[0][dc_table].present ||
      !tables[1][ac_table].present)
    return "Huffman table missing";

  // The entropy-coded data, unstuffed; any other marker inside is an error.
  std::vector<std::uint8_t> data;
  for (std::size_t i = pos; i < n - 2; ++i) {
    data.push_back(b[i]);
    if (b[i] == 0xFF) {
      if (i + 1 >= n - 2 || b[i + 1] != 0x00) return "marker inside the scan";
      ++i;
    }
  }
  std::size_t bit = 0;
  // The next `count` bits into `*out`, false when the data ends first.
  auto bits = [&](int count, int* out) {
    for (*out = 0; count-- > 0; ++bit) {
      if (bit >= data.size() * 8) return false;
      *out = (*out << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return true;
  };
  auto decode = [&](const Huffman& h, int* symbol) {
    int code = 0, first = 0, index = 0;
    for (int l = 1, v = 0; l <= 16; ++l) {
      if (!bits(1, &v)) return false;
      code = (code << 1) | v;
      if (code - first < h.counts[l]) {
        *symbol = h.symbols[index + code - first];
        return true;
      }
      index += h.counts[l];
      first = (first + h.counts[l]) << 1;
    }
    return false;
  };
  auto receive = [&](int size, int* value) {
    int v = 0;
    if (!bits(size, &v)) return false;
    *value = (size > 0 && v < (1 << (size - 1))) ? v - (1 << size) + 1 : v;
    return true;
  };
  const int blocks = ((info->width + 7) / 8) * ((info->height + 7) / 8);
  int predictor = 0;
  for (int blk = 0; blk < blocks; ++blk) {
    int s = 0, diff = 0;
    if (!decode(tables[0][dc_table], &s) || s > 11 || !receive(s, &diff))
      return "bad DC code in block " + std::to_string(blk);
    predictor += diff;
    int dc = predictor * quant[comp_quant & 3][0];
    if (dc < -1024 || dc > 1023) return "DC out of range in block " + std::to_string(blk);
    for (int k = 1; k < 64;) {
      int rs = 0, value = 0;
      if (!decode(tables[1][ac_table], &rs)) return "bad AC code in block " + std::to_string(blk);
      int run = rs >> 4, size = rs & 15;
      if (size == 0) {
        if (run != 15) break;
        k += 16;
        continue;
      }
      k += run;
      if (k > 63 || !receive(size, &value)) return "AC beyond the block";
      ++k;
    }
  }
  info->blocks = blocks;
  // What is left must be the padding of the last byte: fewer than 8 one bits.
  if (data.size() * 8 - bit >= 8) return "data after the last block";
  for (; bit < data.size() * 8; ++bit)
    if (!((data[bit / 8] >> (7 - bit % 8)) & 1)) return "padding bits not all ones";
  return "";
}

// The stamp a simulator frame carries in its comment.
struct Stamp {
  int camera = -1;
  unsigned long long seq = 0;
  long long time_us = 0;
};

// Finds the "ocelam-sim cam=N seq=N t=N" comment; false when missing or
// malformed.
inline bool ParseStamp(const JpegInfo& info, Stamp* stamp) {
  for (const std::string& c : info.comments) {
    int used = 0;
    if (std::sscanf(c.c_str(), "ocelam-sim cam=%d seq=%llu t=%lld%n", &stamp->camera, &stamp->seq,
                    &stamp->time_us, &used) == 3 &&
        c.find_first_not_of(' ', static_cast<std::size_t>(used)) == std::string::npos)
      return true;
  }
  return false;
}

// What is wrong with a simulator frame ("" when it is a valid JPEG with its
// stamp, which goes to `*stamp`).
inline std::string StampOf(const std::string& jpeg, Stamp* stamp) {
  JpegInfo info;
  std::string problem = CheckJpeg(jpeg, &info);
  return !problem.empty() ? problem : ParseStamp(info, stamp) ? "" : "no stamp";
}

}  // namespace sim_test

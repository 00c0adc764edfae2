// The device simulator, driven from outside as the gateway's tests drive it:
// over loopback, through its command line and control port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "support/sim_client.h"

namespace {

using sim_test::CheckJpeg;
using sim_test::HttpStream;
using sim_test::JpegInfo;
using sim_test::ParseStamp;
using sim_test::RawConnection;
using sim_test::SimProcess;
using sim_test::Stamp;
using testing_support::WaitFor;

// Reads `count` parts and checks each is a complete, valid, stamped JPEG of
// `camera`; the stamps go to `stamps`.
void ReadFrames(HttpStream* stream, int camera, int count, std::size_t size,
                std::vector<Stamp>* stamps) {
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    HttpStream::Part part;
    ASSERT_TRUE(stream->NextPart(&part));
    ASSERT_TRUE(part.complete);
    EXPECT_EQ(part.content_type, "image/jpeg");
    EXPECT_EQ(part.content_length, static_cast<long long>(part.body.size()));
    if (size != 0) {
      EXPECT_EQ(part.body.size(), size);
    }
    JpegInfo info;
    ASSERT_EQ(CheckJpeg(part.body, &info), "");
    Stamp stamp;
    ASSERT_TRUE(ParseStamp(info, &stamp));
    EXPECT_EQ(stamp.camera, camera);
    stamps->push_back(stamp);
  }
}

int OpenStream(HttpStream* stream) {
  int status = stream->ReadHead();
  if (status == 200) {
    EXPECT_EQ(stream->Header("Content-Type").rfind("multipart/x-mixed-replace;boundary=", 0), 0u)
        << stream->head();
    EXPECT_FALSE(stream->Boundary().empty());
  }
  return status;
}

TEST(SimStream, FramesAreSizedStampedJpegsOnTheFrameClock) {
  const std::int64_t before_start = sim_test::RealtimeUs();
  SimProcess sim({"--camera", "id=3,fps=25,size=20000", "--camera", "id=7,fps=25,path=/video.cgi",
                  "--camera", "id=9,fps=25,size=200000"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  struct Row {
    int camera;
    std::string target;
    std::size_t size;  // 0: natural
  };
  for (const Row& row :
       {Row{3, "/mjpg", 20000}, Row{7, "/video.cgi?resolution=cif", 0}, Row{9, "/mjpg", 200000}}) {
    SCOPED_TRACE("camera " + std::to_string(row.camera));
    HttpStream stream(sim.port(row.camera), row.target);
    ASSERT_EQ(OpenStream(&stream), 200);
    std::vector<Stamp> stamps;
    ReadFrames(&stream, row.camera, 5, row.size, &stamps);
    const std::int64_t now = sim_test::RealtimeUs();
    for (std::size_t i = 0; i < stamps.size(); ++i) {
      // Frame k is due k/25 s after the start and never sent before that.
      EXPECT_GE(stamps[i].time_us - static_cast<long long>(stamps[i].seq) * 40000, before_start);
      EXPECT_LE(stamps[i].time_us, now);
      if (i > 0) {
        EXPECT_GT(stamps[i].seq, stamps[i - 1].seq);
        EXPECT_GT(stamps[i].time_us, stamps[i - 1].time_us);
      }
    }
  }
}

TEST(SimStream, SequenceBelongsToTheCameraNotTheConnection) {
  SimProcess sim({"--camera", "id=1,fps=20"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  HttpStream first(sim.port(1), "/mjpg");
  ASSERT_EQ(OpenStream(&first), 200);
  std::vector<Stamp> a;
  ReadFrames(&first, 1, 4, 0, &a);
  ASSERT_EQ(a.size(), 4u);
  HttpStream second(sim.port(1), "/mjpg");
  ASSERT_EQ(OpenStream(&second), 200);
  std::vector<Stamp> b;
  ReadFrames(&second, 1, 2, 0, &b);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_GE(b[0].seq, a.back().seq);
  EXPECT_GT(b[1].seq, b[0].seq);
  // The simulator counts a frame once it is sent: the reader may be first.
  EXPECT_TRUE(testing_support::WaitFor(
      [&] { return sim.Stat(1, "open") >= 2 && sim.Stat(1, "frames") >= 6; }));
}

TEST(SimStream, CameraGroupStreamsAsFastAsTheClientReads) {
  SimProcess sim({"--cameras", "count=3,first=10,fps=0,size=5000"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  ASSERT_EQ(sim.device_count(), 3u);
  for (int camera = 10; camera <= 12; ++camera) {
    SCOPED_TRACE("camera " + std::to_string(camera));
    HttpStream stream(sim.port(camera), "/mjpg");
    ASSERT_EQ(OpenStream(&stream), 200);
    std::vector<Stamp> stamps;
    ReadFrames(&stream, camera, 200, 5000, &stamps);
    for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_GT(stamps[i].seq, stamps[i - 1].seq);
  }
}

TEST(SimHttp, RepliesByMethodPathAndCredentials) {
  SimProcess sim({"--camera", "id=2,user=admin,pass=s3cret:x,path=/axis-cgi/mjpg/video.cgi"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  struct Row {
    const char* what;
    std::string method, target, credentials;
    int status;
  };
  const std::string path = "/axis-cgi/mjpg/video.cgi";
  const Row rows[] = {
      {"no credentials", "GET", path, "", 401},
      {"wrong password", "GET", path, "admin:s3cret", 401},
      {"wrong user", "GET", path, "root:s3cret:x", 401},
      {"right credentials", "GET", path, "admin:s3cret:x", 200},
      {"unknown path", "GET", "/mjpg", "admin:s3cret:x", 404},
      {"other method", "POST", path, "admin:s3cret:x", 405},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    HttpStream stream(sim.port(2), row.target, row.credentials, row.method);
    ASSERT_EQ(OpenStream(&stream), row.status) << stream.head();
    if (row.status == 401) {
      EXPECT_EQ(stream.Header("WWW-Authenticate").rfind("Basic realm=", 0), 0u) << stream.head();
    }
    if (row.status == 200) {
      std::vector<Stamp> stamps;
      ReadFrames(&stream, 2, 1, 0, &stamps);
    } else {
      EXPECT_TRUE(stream.ReadsToEnd());
    }
  }
  EXPECT_EQ(sim.Stat(2, "unauthorized"), 3);
  EXPECT_EQ(sim.Stat(2, "notfound"), 1);
  EXPECT_EQ(sim.Stat(2, "streams"), 1);
  EXPECT_EQ(sim.Stat(2, "requests"), 6);
}

TEST(SimFaults, DropStallAndGarbageSetAtStart) {
  SimProcess sim({"--camera", "id=1,fps=20,size=4000,drop=1,after=2", "--camera",
                  "id=2,fps=20,size=40000,stall=1500,after=1", "--camera",
                  "id=3,fps=20,size=4000,garbage=100"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  std::vector<Stamp> stamps;
  {
    SCOPED_TRACE("drop after two frames");
    for (int connection = 0; connection < 2; ++connection) {
      HttpStream stream(sim.port(1), "/mjpg");
      ASSERT_EQ(OpenStream(&stream), 200);
      ReadFrames(&stream, 1, 2, 4000, &stamps);
      HttpStream::Part part;
      ASSERT_TRUE(stream.NextPart(&part));
      EXPECT_FALSE(part.complete);
      EXPECT_EQ(part.content_length, 4000);
      EXPECT_GT(part.body.size(), 0u);
      EXPECT_LT(part.body.size(), 4000u);
      EXPECT_FALSE(stream.NextPart(&part));
    }
    EXPECT_EQ(sim.Stat(1, "drops"), 2);
  }
  {
    SCOPED_TRACE("stall in the second frame");
    HttpStream stream(sim.port(2), "/mjpg");
    ASSERT_EQ(OpenStream(&stream), 200);
    ReadFrames(&stream, 2, 1, 40000, &stamps);
    auto before = std::chrono::steady_clock::now();
    ReadFrames(&stream, 2, 2, 40000, &stamps);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1400));
    EXPECT_EQ(sim.Stat(2, "stalls"), 1);
  }
  {
    SCOPED_TRACE("garbage between frames");
    HttpStream stream(sim.port(3), "/mjpg");
    ASSERT_EQ(OpenStream(&stream), 200);
    for (int i = 0; i < 4; ++i) {
      HttpStream::Part part;
      ASSERT_TRUE(stream.NextPart(&part));
      ASSERT_TRUE(part.complete);
      JpegInfo info;
      EXPECT_EQ(CheckJpeg(part.body, &info), "");
      EXPECT_EQ(part.gap.size(), i == 0 ? 0u : 100u);
      EXPECT_EQ(part.gap.find('\xFF'), std::string::npos);
    }
  }
}

TEST(SimFaults, ControlChangesOpenAndNewConnections) {
  SimProcess sim({"--camera", "id=5,fps=20,size=4000"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  const int port = sim.port(5);
  std::vector<Stamp> stamps;

  HttpStream dropped(port, "/mjpg");
  ASSERT_EQ(OpenStream(&dropped), 200);
  ReadFrames(&dropped, 5, 1, 4000, &stamps);
  ASSERT_EQ(sim.Control("set 5 drop=1,after=1"), "ok\n");
  // The open connection gets at most one more whole frame, then a cut one.
  HttpStream::Part part;
  int whole = 0;
  while (dropped.NextPart(&part) && part.complete) ++whole;
  EXPECT_LE(whole, 2);
  EXPECT_FALSE(part.complete);

  struct Row {
    std::string command;
    int status;
  };
  for (const Row& row : {Row{"set camera 5 drop=0 status=404", 404}, Row{"set 5 status=401", 401},
                         Row{"set 5 status=503", 503}, Row{"clear 5", 200}}) {
    SCOPED_TRACE(row.command);
    ASSERT_EQ(sim.Control(row.command), "ok\n");
    HttpStream stream(port, "/mjpg");
    EXPECT_EQ(OpenStream(&stream), row.status);
  }

  HttpStream open_before(port, "/mjpg");
  ASSERT_EQ(OpenStream(&open_before), 200);
  ASSERT_EQ(sim.Control("set all dead=1"), "ok\n");
  EXPECT_TRUE(open_before.ReadsToEnd());
  EXPECT_EQ(sim_test::Connect(port), -1);
  EXPECT_EQ(errno, ECONNREFUSED);

  ASSERT_EQ(sim.Control("set 5 dead=0"), "ok\n");
  HttpStream revived(port, "/mjpg");
  ASSERT_EQ(OpenStream(&revived), 200);
  ReadFrames(&revived, 5, 1, 4000, &stamps);

  for (const char* refused : {"set 5 fps=3", "set 6 drop=1", "set 5 stall=-1", "set 5 colour=red",
                              "stats all", "reboot"}) {
    SCOPED_TRACE(refused);
    EXPECT_EQ(sim.Control(refused).rfind("error ", 0), 0u);
  }
  EXPECT_EQ(sim.Control("list"), "camera 5 port " + std::to_string(port) + "\nok\n");
}

// Part headers and frames as they come on the wire, read without trusting
// any Content-Length: each body runs to the CR LF before the next boundary.
struct WirePart {
  long long announced = -1;  // -1: no Content-Length
  std::string body;
};

std::vector<WirePart> ReadWireParts(int port, std::size_t count) {
  sim_test::RawConnection c(port);
  std::string all;
  const std::string boundary = "\r\n--ocelamsimboundary\r\n";
  if (!c.Send("GET /mjpg HTTP/1.1\r\n\r\n")) return {};
  std::vector<WirePart> parts;
  std::size_t at = all.npos;
  while (parts.size() < count) {
    std::string piece;
    if (c.Receive(&piece) != sim_test::RawConnection::Read::kData) break;
    all += piece;
    if (at == all.npos) at = all.find(boundary);  // the first follows the response head
    for (std::size_t next; at != all.npos && (next = all.find(boundary, at + 2)) != all.npos;
         at = next) {
      std::size_t head_end = all.find("\r\n\r\n", at + 2);
      if (head_end == all.npos || head_end > next) break;
      std::string head = all.substr(at, head_end - at + 2);
      WirePart part;
      std::size_t length_at = head.find("\r\nContent-Length: ");
      if (length_at != head.npos) part.announced = std::atoll(head.c_str() + length_at + 18);
      part.body = all.substr(head_end + 4, next - head_end - 4);
      parts.push_back(part);
    }
  }
  return parts;
}

TEST(SimFaults, ExifThumbnailMissingAndLyingPartLengths) {
  SimProcess sim({"--camera", "id=1,fps=50,size=3000,exif=1,partlen=0"});
  ASSERT_TRUE(sim.ready()) << sim.Output();
  struct Row {
    const char* set;  // run-time change before the row; empty: as started
    bool exif;
    bool has_length;
    int lie;
  };
  for (const Row& row :
       {Row{"", true, false, 0}, Row{"set 1 exif=0,partlen=1,lenlie=-300", false, true, -300},
        Row{"set 1 exif=1 lenlie=2500", true, true, 2500}, Row{"clear 1", false, true, 0}}) {
    SCOPED_TRACE(row.set);
    if (*row.set) {
      ASSERT_EQ(sim.Control(row.set), "ok\n");
    }
    std::vector<WirePart> parts = ReadWireParts(sim.port(1), 3);
    ASSERT_EQ(parts.size(), 3u);
    for (const WirePart& part : parts) {
      EXPECT_EQ(part.body.size(), 3000u);
      EXPECT_EQ(part.announced, row.has_length ? 3000 + row.lie : -1);
      JpegInfo info;
      Stamp stamp;
      ASSERT_EQ(CheckJpeg(part.body, &info), "");
      EXPECT_TRUE(ParseStamp(info, &stamp));
      // The thumbnail's own SOI .. EOI sit in an APP1 "Exif" segment right
      // after the frame's SOI, inside the segment's length.
      const std::size_t thumb = part.body.find("\xFF\xD8", 2);
      EXPECT_EQ(thumb != std::string::npos, row.exif);
      if (row.exif && thumb != std::string::npos) {
        ASSERT_EQ(part.body.compare(2, 2, "\xFF\xE1"), 0);
        EXPECT_EQ(part.body.compare(6, 6, std::string("Exif\0\0", 6)), 0);
        const std::size_t length = (std::uint8_t(part.body[4]) << 8) | std::uint8_t(part.body[5]);
        EXPECT_EQ(thumb, 12u);
        EXPECT_EQ(part.body.compare(4 + length - 2, 2, "\xFF\xD9"), 0);
        JpegInfo thumb_info;
        EXPECT_EQ(CheckJpeg(part.body.substr(thumb, 4 + length - thumb), &thumb_info), "");
      }
    }
    // Stepping over the thumbnail must not let two frames glued together pass.
    JpegInfo glued;
    EXPECT_NE(CheckJpeg(parts[0].body + parts[1].body, &glued), "");
  }
  for (const char* refused :
       {"set 1 exif=2", "set 1 partlen=yes", "set 1 lenlie=100001", "set 1 lenlie=-100001"}) {
    SCOPED_TRACE(refused);
    EXPECT_EQ(sim.Control(refused).rfind("error bad value", 0), 0u);
  }
}

TEST(SimProcess, EndsCleanlyOnSignalQuitAndDuration) {
  for (const char* how : {"SIGTERM", "SIGINT", "quit", "duration"}) {
    SCOPED_TRACE(how);
    std::vector<std::string> args = {"--camera", "id=1,fps=50"};
    if (std::string(how) == "duration") args.insert(args.end(), {"--duration", "1"});
    SimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.Output();
    // A client in the middle of its stream must not keep the simulator up.
    HttpStream stream(sim.port(1), "/mjpg");
    ASSERT_EQ(OpenStream(&stream), 200);
    std::vector<Stamp> stamps;
    ReadFrames(&stream, 1, 1, 0, &stamps);
    if (std::string(how) == "SIGTERM") sim.child().Signal(SIGTERM);
    if (std::string(how) == "SIGINT") sim.child().Signal(SIGINT);
    if (std::string(how) == "quit") {
      EXPECT_EQ(sim.Control("quit"), "ok\n");
    }
    ASSERT_TRUE(sim.child().WaitExit());
    EXPECT_EQ(sim.child().exit_code(), 0) << sim.Output();
    EXPECT_TRUE(stream.ReadsToEnd());
  }
}

TEST(SimProcess, RefusesBadCommandLines) {
  const std::vector<std::vector<std::string>> rows = {
      {},
      {"--camera", "port=0"},
      {"--camera", "id=1,size=100"},
      {"--camera", "id=1,fps=-1"},
      {"--camera", "id=1,status=42"},
      {"--camera", "id=1,path=mjpg"},
      {"--camera", "id=1", "--camera", "id=1"},
      {"--cameras", "first=1,fps=0"},
      {"--camera", "id=1,port=99999"},
      {"--camera", "id=1", "--frobnicate", "1"},
  };
  for (const auto& args : rows) {
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    SimProcess sim(args);
    ASSERT_TRUE(sim.child().WaitExit());
    EXPECT_EQ(sim.child().exit_code(), 2);
    EXPECT_NE(sim.Output().find("ocelam-sim: "), std::string::npos) << sim.Output();
  }
}

// Whether a connect to `port` completes within `ms` milliseconds.
bool ConnectsWithin(int port, int ms) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool done = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (!done) {
    pollfd p{fd, POLLOUT, 0};
    int error = 1;
    socklen_t len = sizeof error;
    done = poll(&p, 1, ms) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
           error == 0;
  }
  close(fd);
  return done;
}

// The devices the healing gateway is tried against: a Digest camera's
// challenge, a stream that half-closes mid-frame, and a port whose
// connections never complete until the key is cleared.
TEST(SimFaults, DigestChallengeHalfCloseAndBlackHole) {
  SimProcess sim({"--camera", "id=1,user=op,pass=secret,auth=digest,algorithm=SHA-256", "--camera",
                  "id=2,fps=20,halfclose=1,after=2", "--camera", "id=3,blackhole=1"});
  ASSERT_TRUE(sim.ready()) << sim.Output();

  HttpStream refused(sim.port(1), "/mjpg");
  ASSERT_EQ(OpenStream(&refused), 401);
  EXPECT_EQ(refused.Header("WWW-Authenticate")
                .rfind("Digest realm=\"ocelam-sim\", qop=\"auth\", algorithm=SHA-256, nonce=\"", 0),
            0u)
      << refused.head();

  RawConnection stream(sim.port(2));
  ASSERT_TRUE(stream.Send("GET /mjpg HTTP/1.0\r\n\r\n"));
  std::string bytes;
  EXPECT_TRUE(stream.ReadToClose(&bytes)) << "our side sees the end of the stream";
  EXPECT_EQ(sim.Stat(2, "halfcloses"), 1);
  EXPECT_EQ(sim.Stat(2, "frames"), 2);
  EXPECT_EQ(sim.Stat(2, "open"), 1) << "the camera keeps the connection until we close";

  EXPECT_FALSE(ConnectsWithin(sim.port(3), 1500));
  ASSERT_EQ(sim.Control("set 3 blackhole=0"), "ok\n");
  EXPECT_TRUE(ConnectsWithin(sim.port(3), 10000));
}

}  // namespace

#include "camera_http/http_client.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "support/loopback_camera.h"
#include "support/report_capture.h"
#include "support/sandbox.h"
#include "support/sim_client.h"

using sim_test::RecordedRequest;
using sim_test::SimProcess;

namespace {

using camera_test::Behaviour;
using camera_test::CameraStub;

constexpr char kCommand[] = "GET /command/io.cgi?pin=1&status=on HTTP/1.0\r\n\r\n";

class SendHttpCommandTest : public ::testing::Test {
 protected:
  // The client hands its messages back; reporting them is its callers' job.
  void TearDown() override { EXPECT_TRUE(reports_.Take().empty()); }

  testing_support::ReportCapture reports_;
  std::array<char, camera_http::kHttpReplySize> reply_{};
  std::array<char, camera_http::kHttpErrorTextSize> error_{};
};

// The messages carry the thread's error number of the moment; it is
// replaced by N so the rest can be compared exactly.
std::string WithoutErrorNumber(const char* text) {
  static const std::regex number(R"(^(Camera -?\d+: ERROR \()-?\d+(\)))");
  return std::regex_replace(text, number, "$1N$2");
}

std::string InvalidCommandText(int camera, int status, const std::string& body,
                               const std::string& command = kCommand) {
  return "Camera " + std::to_string(camera) + ": ERROR (N): invalid HTTP command '" + command +
         "' - error code " + std::to_string(status) +
         "\nData cause received from the server/camera: '" + body + "'";
}

// Long replies and messages are cut to their buffers, keeping their beginning.
TEST_F(SendHttpCommandTest, JudgesTheFirstReplySegment) {
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\ndone";
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n",
                    long_command = "GET /" + std::string(250, 'c');
  // What, the camera's behaviour and reply, the result, the error (N for
  // the error number), the command when not kCommand.
  const std::tuple<const char*, Behaviour, std::string, int, std::string, std::string> cases[] = {
      {"200 with an empty line", Behaviour::kReply, ok, 0, "", ""},
      {"204", Behaviour::kReply, "HTTP/1.1 204 No Content\r\n\r\n", 0, "", ""},
      {"long 200", Behaviour::kReply, head + std::string(5000 - head.size(), 'a'), 0, "", ""},
      {"302", Behaviour::kReply, "HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\nmoved", -1,
       InvalidCommandText(7, 302, "moved"), ""},
      {"401 without an empty line", Behaviour::kReply, "HTTP/1.0 401 Unauthorized\r\n", -1,
       InvalidCommandText(7, 401, "unknown error"), ""},
      {"long 500 to a long command", Behaviour::kReply,
       "HTTP/1.0 500 Error\r\n\r\n" + std::string(4978, 'b'), -1,
       InvalidCommandText(7, 500, std::string(4978, 'b'), long_command), long_command},
      {"closed without a byte", Behaviour::kCloseAtOnce, "", -1,
       InvalidCommandText(7, 0, "unknown error"), ""},
      {"silent until the receive time-out", Behaviour::kStaySilent, "", -1,
       std::string("Camera 7: ERROR (N): no data received on socket for the command '") + kCommand +
           "' - check your parameter 'GET' .....",
       ""},
  };
  for (const auto& [what, behaviour, reply, result, error_wanted, other_command] : cases) {
    SCOPED_TRACE(what);
    const std::string command = other_command.empty() ? kCommand : other_command;
    CameraStub camera(reply, behaviour);
    reply_.fill('\0');
    error_.fill('#');
    EXPECT_EQ(camera_http::SendHttpCommand("127.0.0.1", camera.port(), command.c_str(), reply_, 7,
                                           error_),
              result);
    const std::string error = WithoutErrorNumber(error_.data());
    EXPECT_TRUE(error == error_wanted ||
                (std::strlen(error_.data()) == camera_http::kHttpErrorTextSize - 1 &&
                 error_wanted.starts_with(error)))
        << error;
    EXPECT_EQ(reply_.data(), result == 0 ? reply.substr(0, camera_http::kHttpReplySize - 1) : "")
        << "reply only on success";
    EXPECT_EQ(camera.Received(), command + '\0') << "the command and one NUL byte";
  }
}

// Refused, unresolvable, and a device that never completes a connection (a
// full backlog nobody accepts), which holds a command for the connect
// time-out, not for the kernel's two minutes.
TEST_F(SendHttpCommandTest, ConnectionFailuresNameTheCommandWithoutQuotes) {
  SimProcess sim({"--camera", "id=1,blackhole=1"});
  ASSERT_TRUE(sim.ready());
  // Host, port, the error number (N when it varies), seconds at least.
  const std::tuple<std::string, int, std::string, double> cases[] = {
      {"127.0.0.1", testing_support::FreeLoopbackPort(), std::to_string(ECONNREFUSED), 0},
      {"no-such-camera.invalid", 80, "N", 0},
      {"127.0.0.1", sim.port(1), std::to_string(ETIMEDOUT), kSockConnectTimeout / 10 - 1},
  };
  for (const auto& [host, port, number, least] : cases) {
    SCOPED_TRACE(host);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(camera_http::SendHttpCommand(host.c_str(), port, kCommand, reply_, 4, error_), -1);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(
        number == "N" ? WithoutErrorNumber(error_.data()) : error_.data(),
        "Camera 4: ERROR (" + number + "): can not connect socket for the command " + kCommand);
    EXPECT_GE(seconds, least);
    EXPECT_LT(seconds, 100) << "the kernel's own time-out is about 127 s";
  }
}

// Replies framed every way a camera may, cut into segments with pauses, and
// the ways a reply can be broken: the client reads what the framing says,
// or closes with one line saying why.
TEST_F(SendHttpCommandTest, ReadsTheWholeReplyAsItsHeadFramesIt) {
  const std::string length_head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
  const std::string chunked_head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string close_head = "HTTP/1.0 200 OK\r\n\r\n";
  auto route = [](const std::string& path, std::size_t split_at, const std::string& reply) {
    return "camera=1,mode=raw,path=" + path + ",split=" + std::to_string(split_at) +
           ":300,body=\"" + reply + "\"";
  };
  // Replies in the simulator's escapes; the body comes 300 ms after the head.
  SimProcess sim(
      {"--camera", "id=1,fps=5", "--camera", "id=2,fps=5,stall=600000", "--route",
       route("/length", length_head.size(),
             R"(HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n<h>42</h>\n)"),
       "--route",
       route(
           "/chunked", chunked_head.size(),
           R"(HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\n<h>\r\nA\r\n42</h>\n...\r\n0\r\nX-Trailer: 1\r\n\r\n)"),
       "--route", route("/close", close_head.size(), R"(HTTP/1.0 200 OK\r\n\r\n<h>42</h>)"),
       "--route",
       route("/huge", chunked_head.size(),
             R"(HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\nx)"),
       "--route",
       route("/badchunk", chunked_head.size(),
             R"(HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nx)"),
       "--route",
       route("/badlength", 10,
             R"(HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nx)")});
  ASSERT_TRUE(sim.ready());
  // Target, camera, result; the reply on success, on failure what the
  // message says after the command.
  const std::tuple<const char*, int, int, std::string, std::string> cases[] = {
      {"/length", 1, 0, length_head + "<h>42</h>\n", ""},
      {"/chunked", 1, 0, chunked_head + "<h>42</h>\n...", ""},
      {"/close", 1, 0, close_head + "<h>42</h>", ""},
      {"/huge", 1, -1, "", " - chunk size '10000000000000000' out of range - connection closed"},
      {"/badchunk", 1, -1, "", " - malformed chunk size line 'zz' - connection closed"},
      {"/badlength", 1, -1, "",
       " - malformed Content-Length '18446744073709551616' - connection closed"},
      // A stream that stalls in its first frame never ends.
      {"/mjpg", 2, -1, "", " did not end within 1 seconds"},
  };
  camera_http::HttpTimings short_reply;
  short_reply.reply_timeout = 10;
  for (const auto& [target, camera, result, reply, error] : cases) {
    SCOPED_TRACE(target);
    const std::string command = std::string("GET ") + target + " HTTP/1.1\r\n\r\n";
    reply_.fill('\0');
    EXPECT_EQ(camera_http::SendHttpCommand("127.0.0.1", sim.port(camera), command.c_str(), reply_,
                                           3, error_, {}, short_reply),
              result)
        << error_.data();
    EXPECT_EQ(result == 0 ? reply_.data() : reply, reply);
    EXPECT_NE(std::string(error_.data()).find(error), std::string::npos) << error_.data();
  }
}

// Cameras behind each kind of authentication (Digest SHA-256 is in the
// stream tests). A 401 is answered once with the camera's credentials; wrong
// ones end in one line after exactly one more request, never a loop; a
// template that brings its own Authorization line, a challenge we cannot
// answer, or Basic alone where Basic is not allowed, is not answered at all.
TEST_F(SendHttpCommandTest, AnswersAChallengeOnceWithTheCamerasCredentials) {
  SimProcess sim(
      {"--camera", "id=1,fps=5,user=op,pass=secret,auth=digest", "--camera",
       "id=3,fps=5,user=op,pass=secret,auth=digest,qop=none", "--camera",
       "id=4,fps=5,user=op,pass=secret", "--camera", "id=5,fps=5", "--route",
       "camera=all,path=/io,body=done", "--route",
       R"(camera=5,path=/unknown,mode=raw,body="HTTP/1.0 401 No\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\", algorithm=SHA-512-256\r\n\r\n")",
       "--route",
       R"(camera=5,path=/malformed,mode=raw,body="HTTP/1.0 401 No\r\nWWW-Authenticate: Digest realm=\"r, nonce=n\r\n\r\n")",
       "--route", R"(camera=5,path=/none,mode=raw,body="HTTP/1.0 401 No\r\n\r\n")", "--route",
       R"(camera=5,path=/control,mode=raw,body="HTTP/1.0 401 No\r\nWWW-Authenticate: Basic realm=\"a\nX: 1\"\r\n\r\n")",
       "--route",
       R"(camera=5,path=/both,mode=raw,body="HTTP/1.0 401 No\r\nWWW-Authenticate: Basic realm=\"r\"\r\nWWW-Authenticate: Digest realm=\"r\", nonce=\"n\"\r\n\r\n")"});
  ASSERT_TRUE(sim.ready());
  const camera_http::HttpCredentials good{"op", "secret"};
  const camera_http::HttpCredentials wrong{"op", "guess"};
  const camera_http::HttpCredentials basic_allowed{"op", "secret", true};
  const std::string io = "GET /io?pin=1 HTTP/1.0\r\n\r\n";
  const std::string own = "GET /io HTTP/1.0\r\nAuthorization: Basic b3A6Z3Vlc3M=\r\n\r\n";
  // Paths of camera 5 stand for "GET <path> HTTP/1.0" and its empty line.
  auto cannot = [](const std::string& path, const std::string& why) {
    return "Camera 6: ERROR (N): can not answer the authentication the camera asks for the "
           "command 'GET " +
           path + " HTTP/1.0\r\n\r\n' - " + why;
  };
  // What, camera, command, credentials, result, requests the camera saw,
  // error (N for the error number).
  const std::tuple<const char*, int, std::string, camera_http::HttpCredentials, int, int,
                   std::string>
      cases[] = {
          {"digest MD5", 1, io, good, 0, 2, ""},
          {"digest without qop", 3, io, good, 0, 2, ""},
          {"basic where allowed", 4, io, basic_allowed, 0, 2, ""},
          {"basic where not allowed", 4, io, good, -1, 1,
           "Camera 6: ERROR (N): can not answer the authentication the camera asks for the "
           "command '" +
               io +
               "' - only Basic authentication is offered, which sends the password in clear: not "
               "answered (set 'AllowBasicAuth=1' in its section to allow it)"},
          {"wrong password", 1, io, wrong, -1, 2,
           "Camera 6: ERROR (N): the camera refused the user 'op' (Digest MD5 authentication) for "
           "the "
           "command '" +
               io + "' - check its 'Username' and 'Password'"},
          {"template with its own line", 4, own, good, -1, 1,
           "Camera 6: ERROR (N): invalid HTTP command '" + own +
               "' - error code 401\nData cause received from the server/camera: '401 "
               "Unauthorized\\r\\n'"},
          // Both offered, Basic allowed: Digest all the same.
          {"basic and digest offered", 5, "/both", basic_allowed, -1, 2,
           "Camera 6: ERROR (N): the camera refused the user 'op' (Digest MD5 authentication) for "
           "the command 'GET /both HTTP/1.0\r\n\r\n' - check its 'Username' and 'Password'"},
          {"unknown algorithm", 5, "/unknown", good, -1, 1,
           cannot("/unknown", "unknown Digest algorithm 'SHA-512-256'")},
          {"malformed challenge", 5, "/malformed", good, -1, 1,
           cannot("/malformed", "malformed WWW-Authenticate header 'Digest realm=\"r, nonce=n'")},
          // A line end copied into the answer would split its Authorization line.
          {"control byte in a quoted string", 5, "/control", good, -1, 1,
           cannot("/control", "malformed WWW-Authenticate header 'Basic realm=\"a\\nX: 1\"'")},
          {"no challenge", 5, "/none", good, -1, 1,
           cannot("/none", "the reply carries no WWW-Authenticate challenge")},
      };
  for (const auto& [what, camera, command_or_path, credentials, result, requests, error] : cases) {
    SCOPED_TRACE(what);
    const long long before = sim.Stat(camera, "requests");
    reply_.fill('\0');
    const std::string command = command_or_path[0] == '/'
                                    ? "GET " + command_or_path + " HTTP/1.0\r\n\r\n"
                                    : command_or_path;
    EXPECT_EQ(camera_http::SendHttpCommand("127.0.0.1", sim.port(camera), command.c_str(), reply_,
                                           6, error_, credentials),
              result);
    EXPECT_EQ(WithoutErrorNumber(error_.data()), error);
    EXPECT_EQ(sim.Stat(camera, "requests") - before, requests);
    EXPECT_EQ(std::string(reply_.data()).ends_with("\r\n\r\ndone"), result == 0);
  }
  // The password never shows in what the camera was sent in the clear form
  // of a Digest answer, and Basic goes only where it is allowed (our answer)
  // or written (the template's own line).
  for (const RecordedRequest& r : sim.Requests("camera", 1))
    EXPECT_EQ(r.bytes.find("secret"), std::string::npos) << r.bytes;
  for (const RecordedRequest& r : sim.Requests("camera", 5))
    EXPECT_EQ(r.bytes.find("Authorization: Basic"), std::string::npos) << r.bytes;
  std::size_t basic_answers = 0;
  for (const RecordedRequest& r : sim.Requests("camera", 4))
    basic_answers += r.bytes.find("Authorization: Basic") != std::string::npos;
  EXPECT_EQ(basic_answers, 2u);
}

TEST(GetReplyStatus, ReadsTheCodeAndTheBody) {
  const std::string long_reply = "HTTP/1.0 200 OK\r\n\r\n" + std::string(3000, 'z');
  const std::string long_body(camera_http::kHttpReplySize - 1, 'z');  // cut to its buffer
  const std::tuple<const char*, int, const char*> cases[] = {
      {"HTTP/1.0 200 OK\r\n\r\nbody text", 200, "body text"},
      {"HTTP/1.0 200 OK\r\n\r\n", 200, ""},
      {"HTTP/1.0 200 OK\r\n\r\nfirst\r\n\r\nsecond", 200, "first\r\n\r\nsecond"},
      {long_reply.c_str(), 200, long_body.c_str()},
      {"HTTP/1.1   404 Not Found\r\n", 404, "unknown error"},
      {"   HTTP/1.0 302", 302, "unknown error"},
      {"HTTP/1.0 401x", 401, "unknown error"},
      {"HTTP/1.0\t200 OK", 0, "unknown error"},    // a tab does not separate words
      {"HTTP/1.0\r\n200 OK", 0, "unknown error"},  // nor does a line end
      {"HTTP/1.0 -200 OK", 0, "unknown error"},
      {"HTTP/1.0 OK 200", 0, "unknown error"},
      {"HTTP/1.0", 0, "unknown error"},
      {"", 0, "unknown error"},
      {"HTTP/1.0 99999999999999999999", 2147483647, "unknown error"},
      {nullptr, 0, "unknown error"},
  };
  for (const auto& [reply, status, body_wanted] : cases) {
    SCOPED_TRACE(reply ? std::string(reply).substr(0, 40) : "(null)");
    std::array<char, camera_http::kHttpReplySize> body;
    body.fill('#');
    EXPECT_EQ(camera_http::GetReplyStatus(reply, body), status);
    EXPECT_STREQ(body.data(), body_wanted);
  }
}

// A chunk size line of the longest size is read whole even when a receive
// ends between its CR and its LF; one byte longer is refused either way.
TEST(HttpReplyReader, ChunkLineOfTheLongestSizeDoesNotDependOnTheReceives) {
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (std::size_t size : {std::size_t{256}, std::size_t{257}}) {
    const std::string line = "3;" + std::string(size - 2, 'x');
    const std::string reply = head + line + "\r\nabc\r\n0\r\n\r\n";
    camera_http::HttpReplyReader whole, bytewise;
    whole.Feed(reply);
    for (char c : reply)
      if (!bytewise.finished()) bytewise.Feed(std::string_view(&c, 1));
    SCOPED_TRACE(size);
    EXPECT_TRUE(whole.finished());
    EXPECT_EQ(whole.bad(), size > 256);
    EXPECT_EQ(bytewise.bad(), whole.bad());
    EXPECT_EQ(bytewise.reply(), whole.reply());
    if (!whole.bad()) {
      EXPECT_EQ(whole.reply(), head + "abc");
    }
  }
}

}  // namespace

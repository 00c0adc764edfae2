// Who gets through the status port's gate (peer, transport, credentials,
// pauses after failures, remembered logins), keys that cannot be used
// (fail closed, or the port off), and HTTPS with a login end to end with
// curl and a certificate made for the test.
#include "status/access_gate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "status/password_hash.h"
#include "status/status_server.h"
#include "support/fake_clock.h"
#include "support/report_capture.h"
#include "support/sandbox.h"
#include "support/sim_client.h"

namespace {

using status::Verdict;
using testing_support::FakeClock;

constexpr int kIterations = 1000;  // the least a hash text may ask for: fast tests

std::string Basic(const std::string& credentials, const char* scheme = "Basic ") {
  return scheme + status::Base64Encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                                       credentials.size());
}

// The standard output of `command`, run by the shell.
std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// A new T that a status port's threads may use for good: never destroyed, and
// kept reachable, so the leak checker does not count those of a port that
// never started.
template <class T, class... Args>
T& Kept(Args&&... args) {
  static auto* kept = new std::vector<void*>;
  T* made = new T(std::forward<Args>(args)...);
  kept->push_back(made);
  return *made;
}

class StatusAccessTest : public ::testing::Test {
 protected:
  StatusAccessTest() : hash_(status::PasswordHash::Make("s3cret pw", kIterations).value().Text()) {}

  // A self-signed certificate for 127.0.0.1 and its key, `name`.crt and `name`.key.
  void MakeCertificate(const std::string& name) {
    const std::string base = dir_ / name;
    Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
          "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " + base +
          ".key -out " + base + ".crt 2>/dev/null");
    ASSERT_FALSE(testing_support::ReadFile(base + ".key").empty());
  }
  // Starts a status port with settings_ on `port` and waits until it
  // listens (its threads report no more then); never destroyed, like them.
  bool StartPort(int port) {
    auto& cameras = Kept<acquisition::CameraTable>(clock_);
    auto& server = Kept<status::StatusServer>(status::StatusSources{
        Kept<core::Settings>(settings_), cameras, Kept<core::Metrics>(), clock_, {}});
    if (!server.Start(port, "", "")) return false;
    const std::string listening = "Status port listening on 127.0.0.1:" + std::to_string(port);
    std::vector<std::string> seen;
    return testing_support::WaitFor([&] {
      for (std::string& line : Lines()) seen.push_back(std::move(line));
      return std::find(seen.begin(), seen.end(), listening + " (/metrics, /healthz)") != seen.end();
    }, 60);
  }
  // curl's answer code for `url` (000 when there was none).
  std::string Code(const std::string& url, const std::string& options = "") {
    return Shell("curl -s -o /dev/null -m 30 -w '%{http_code}' --cacert " + dir_ / "site.crt" +
                 " " + options + " '" + url + "'");
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (auto& line : capture_.Take()) lines.push_back(line.first);
    return lines;
  }

  testing_support::TempDir dir_;
  FakeClock& clock_ = Kept<FakeClock>();
  core::Settings settings_;
  testing_support::ReportCapture capture_;
  const std::string hash_;
};

// Plain HTTP takes a login from this machine only, before any credential is
// read; HTTPS from anywhere. A failed login pauses its peer (1 s, then 2 s)
// except for a login already verified; failed logins are told with their
// count, never with what was sent.
TEST_F(StatusAccessTest, GateJudgesPeerTransportAndCredentials) {
  status::AccessGate plain(clock_, 9999, false, "operator", hash_);
  status::AccessGate tls(clock_, 9999, true, "operator", hash_);
  const std::string right = Basic("operator:s3cret pw");
  const std::string right_again = Basic("operator:s3cret pw", "basic  ");
  const std::tuple<status::AccessGate*, double, const char*, std::optional<std::string>, Verdict>
      cases[] = {
          // gate, seconds stepped first, peer, Authorization, verdict
          {&plain, 0, "10.1.2.3", right, Verdict::kHttpsNeeded},
          {&plain, 0, "::ffff:10.1.2.3", right, Verdict::kHttpsNeeded},
          {&plain, 0, "192.0.2.2", std::nullopt, Verdict::kHttpsNeeded},
          {&plain, 0, "127.0.0.1", std::nullopt, Verdict::kLoginNeeded},
          {&plain, 0, "127.0.0.1", right, Verdict::kPass},
          {&plain, 0, "::1", right, Verdict::kPass},
          {&plain, 0, "::ffff:127.0.0.9", right_again, Verdict::kPass},
          {&tls, 0, "10.1.2.3", right, Verdict::kPass},
          {&tls, 0, "10.1.2.4", Basic("operator:s3cret PW"), Verdict::kLoginNeeded},
          {&tls, 0, "10.1.2.4", right_again, Verdict::kPaused},
          {&tls, 0, "10.1.2.4", right, Verdict::kPass},
          {&tls, 1, "10.1.2.4", Basic("root:s3cret pw"), Verdict::kLoginNeeded},
          {&tls, 1, "10.1.2.4", right_again, Verdict::kPaused},
          {&tls, 1, "10.1.2.4", right_again, Verdict::kPass},
          {&tls, 0, "10.1.2.5", "Bearer s3cret", Verdict::kLoginNeeded},
          {&tls, 0, "10.1.2.6", "Basic !!!!", Verdict::kLoginNeeded},
      };
  for (const auto& [gate, step, peer, authorization, verdict] : cases) {
    SCOPED_TRACE(testing::Message() << peer << " " << authorization.value_or("-"));
    clock_.AdvanceSeconds(step);
    EXPECT_EQ(gate->Judge(peer, authorization), verdict);
  }
  clock_.AdvanceSeconds(1);
  tls.Tell(clock_.MonotonicMicros());
  plain.Tell(clock_.MonotonicMicros());
  const std::vector<std::string> lines = Lines();
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Status port 9999: 4 failed logins (the last from 10.1.2.6)"});
}

// Login keys that cannot be used refuse every request, even a right login
// from this machine, after one line that says why.
TEST_F(StatusAccessTest, UnusableLoginKeysFailClosed) {
  const std::string salt = hash_.substr(0, hash_.rfind('$'));
  const std::tuple<const char*, std::string, const char*> cases[] = {
      {"operator", "", "are set one without the other"},
      {"", hash_, "are set one without the other"},
      {"oper:ator", hash_, "holds a ':'"},
      {"operator", "sha256$1000$" + hash_.substr(hash_.find('$', 14) + 1), "does not begin with"},
      {"operator", "pbkdf2-sha256$999" + hash_.substr(hash_.find('$', 14)), "iteration count"},
      {"operator", salt + "$c2hvcnQ=", "its hash is not base64 of 32 bytes"},
      {"operator", salt, "it is not pbkdf2-sha256$<iterations>"},
      {"operator", "pbkdf2-sha256$1000$@@@@" + hash_.substr(hash_.rfind('$')), "its salt"},
  };
  for (const auto& [user, text, problem] : cases) {
    SCOPED_TRACE(text);
    status::AccessGate gate(clock_, 9999, true, user, text);
    EXPECT_NE(gate.problem().find(problem), std::string::npos) << gate.problem();
    EXPECT_EQ(gate.Judge("127.0.0.1", Basic("operator:s3cret pw")), Verdict::kMisconfigured);
  }
  // The whole port: every route answers 503.
  settings_.status_user = "operator";
  settings_.status_password_hash = salt;
  const int port = testing_support::FreeLoopbackPort();
  ASSERT_TRUE(StartPort(port));
  // Each answer read to its end, where the worker has left the library (so
  // none is inside it when the test ends).
  for (const char* path : {"/metrics", "/healthz", "/nothing"}) {
    const int fd = sim_test::Connect(port);
    ASSERT_TRUE(sim_test::SendText(fd, std::string("GET ") + path + " HTTP/1.0\r\nAuthorization: " +
                                           Basic("operator:s3cret pw") + "\r\n\r\n"));
    std::string reply;
    char buf[512];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
    close(fd);
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 503 ")) << path << "\n" << reply;
  }
}

// A certificate or key that cannot be used keeps the port off (never plain
// HTTP), with one line naming the key, the file and the reason.
TEST_F(StatusAccessTest, UnusableCertificateKeepsThePortOff) {
  MakeCertificate("site");
  MakeCertificate("other");
  ASSERT_EQ(symlink((dir_ / "site.key").c_str(), (dir_ / "link.key").c_str()), 0);
  const std::string site = dir_ / "site", other = dir_ / "other";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {site + ".crt", "", "StatusTlsCertificate and StatusTlsKey are set one without the other"},
      {site + ".crt", site + ".missing",
       "StatusTlsKey " + site + ".missing cannot be used (No such file or directory)"},
      {site + ".crt", dir_ / "link.key",
       "StatusTlsKey " + dir_ / "link.key" + " cannot be used (it is a symbolic link"},
      {site + ".crt", other + ".key",
       "StatusTlsKey " + other + ".key cannot be used (it does not match the certificate)"},
      {site + ".key", site + ".key",
       "StatusTlsCertificate " + site + ".key cannot be used (no PEM certificate in it)"},
      {site + ".crt", site + ".crt",
       "StatusTlsKey " + site + ".crt cannot be used (no unencrypted PEM private key in it)"},
  };
  for (const auto& [certificate, key, line] : cases) {
    SCOPED_TRACE(line);
    settings_.status_tls_certificate = certificate;
    settings_.status_tls_key = key;
    const int port = testing_support::FreeLoopbackPort();
    EXPECT_FALSE(StartPort(port));
    std::vector<std::string> lines = Lines();
    std::erase_if(lines, [](const std::string& l) { return l.find("StatusTls") == std::string::npos; });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find("ERROR: " + line), 0u) << lines[0];
    EXPECT_NE(lines[0].find("the status port stays off"), std::string::npos) << lines[0];
    EXPECT_EQ(sim_test::Connect(port), -1);
  }
}

// Over HTTPS every route wants the login; plain HTTP to the port gets no
// answer, and a client that never ends its handshake is closed in time.
TEST_F(StatusAccessTest, HttpsServesEveryRouteBehindTheLogin) {
  MakeCertificate("site");
  settings_.status_tls_certificate = dir_ / "site.crt";
  settings_.status_tls_key = dir_ / "site.key";
  settings_.status_user = "operator";
  settings_.status_password_hash = hash_;
  const int port = testing_support::FreeLoopbackPort();
  ASSERT_TRUE(StartPort(port));
  const std::string base = "https://127.0.0.1:" + std::to_string(port);
  ASSERT_TRUE(testing_support::WaitFor([&] { return Code(base + "/metrics") == "401"; }, 60));
  const std::tuple<const char*, const char*, const char*> cases[] = {
      // path, curl options, answer code
      {"/metrics", "-u 'operator:s3cret pw'", "200"},
      {"/healthz", "-u 'operator:s3cret pw'", "503"},  // the watcher never looped
      {"/nothing", "-u 'operator:s3cret pw'", "404"},
      {"/nothing", "", "401"},
      {"/healthz", "", "401"},
      {"/metrics", "-u 'operator:wrong'", "401"},
  };
  for (const auto& [path, options, code] : cases) {
    clock_.AdvanceSeconds(70);  // past any pause a wrong password started
    EXPECT_EQ(Code(base + path, options), code) << path << " " << options;
  }
  const std::string body = Shell("curl -s -m 30 --cacert " + dir_ / "site.crt" +
                                 " -u 'operator:s3cret pw' " + base + "/metrics");
  EXPECT_NE(body.find("\nocelam_jobs_total{outcome=\"done\"} 0\n"), std::string::npos) << body;
  EXPECT_EQ(Code("http://127.0.0.1:" + std::to_string(port) + "/metrics"), "000");
  const int silent = sim_test::Connect(port);
  EXPECT_TRUE(testing_support::WaitFor(
      [&] {
        char byte;
        return recv(silent, &byte, 1, MSG_DONTWAIT) == 0;
      },
      60));
  close(silent);
}

}  // namespace

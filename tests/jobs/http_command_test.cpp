// HTTPCommand on its own, for what the whole-gateway tests do not reach:
// follow-ups that fail or cannot be built, refusals, unknown types, and a
// command that outlives its job.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "alarm/alarm_start.h"
#include "alarm/alarm_table.h"
#include "jobs/http_command.h"
#include "support/jobs_fixture.h"
#include "support/sim_client.h"

namespace {

using namespace jobs_test;

constexpr int kCamera = 5;
constexpr int kEntries = 12;
constexpr const char* kRef = "HC1";
constexpr alarms::TableField kTable[] = {{"NAME", 'C', 10, 0},
                                         {"STATUS", 'N', 3, 0},
                                         {"TIME", 'C', 6, 0},
                                         {"TO1", 'N', 3, 0},
                                         {"TI1", 'C', 6, 0}};

jobs::JobCommand Command(const char* type, const char* io_status = "", int pin = 0,
                         int duration = 0) {
  jobs::JobCommand c;
  c.type_command = type, c.io_status = io_status, c.pin_number = pin, c.duration = duration;
  return c;
}

class HTTPCommandTest : public JobsTest {
 protected:
  void SetUp() override {
    JobsTest::SetUp();
    ASSERT_TRUE(sim_.ready());
    alarms::AlarmTable table;
    ASSERT_TRUE(table.Create((Path("log/") + kRef + ".dbf").c_str(), kTable));
    for (int e = 0; e < kEntries; ++e) ASSERT_TRUE(table.Append() && table.Replace("STATUS", 0));
    ASSERT_TRUE(table.Close());
    for (camera_http::CommandRecord* r : Records())
      r->Init("127.0.0.1", sim_.port(1), "", kCamera), r->family = "sony";
    commands_.io[kCamera].io_template = "GET /io?pin=<pinnumber>&state=<status> HTTP/1.0\r\n\r\n";
    commands_.recording[kCamera].start_template = "GET /rec/start HTTP/1.0\r\n\r\n";
    commands_.recording[kCamera].stop_template = "GET /rec/stop?h=<handleid> HTTP/1.0\r\n\r\n";
    commands_.recording[kCamera].reply_expression = "handle=([0-9]+)";
    commands_.recording[kCamera].handle_subst = "\\1";
    cameras_[kCamera].reference = "Cam5";
  }
  std::array<camera_http::CommandRecord*, 3> Records() {
    return {&commands_.io[kCamera], &commands_.ptz[kCamera], &commands_.recording[kCamera]};
  }
  // A one-camera job with `c` as its command 1, in a slot; the arguments of
  // its command thread (thread index 0).
  std::shared_ptr<jobs::HTTPCommandArgs> Start(const jobs::JobCommand& c) {
    jobs::Job job;
    job.alarm_reference = kRef;
    job.cameras[1].camera_number = kCamera;
    job.cameras[1].number_of_commands = 1;
    job.cameras[1].commands[1] = c;
    auto args = std::make_shared<jobs::HTTPCommandArgs>();
    args->runner = &Runner();
    args->job = Runner().table().Allocate(job);
    args->camera_index = args->command_index = 1;
    args->record = Runner().table().InSlot(args->job);
    args->record->thread_events[0].Create("http_com_test");
    return args;
  }
  void Release(int slot) {
    Console([&] { Runner().table().Release(slot); });
  }
  long Status(int entry) {
    alarms::AlarmTable table;
    long status = -1;
    if (table.Open((Path("log/") + kRef + ".dbf").c_str()) && table.Go(entry + 1))
      (void)table.Read("STATUS", status);  // -1 stays when it cannot be read
    return status;
  }
  // Targets of the camera's requests from number `from` on, " " between them.
  std::string Targets(int from) {
    std::string targets;
    for (const sim_test::RecordedRequest& r : sim_.Requests("camera", 1, from))
      targets += (targets.empty() ? "" : " ") + r.bytes.substr(4, r.bytes.find(' ', 4) - 4);
    return targets;
  }
  sim_test::SimProcess sim_{{"--camera", "id=1", "--route", "camera=1,path=/io", "--route",
                             "camera=1,path=\"/io?pin=9&state=off\",status=500", "--route",
                             "camera=1,path=/rec/start,body=handle=42", "--route",
                             "camera=1,path=/rec/stop"}};
};

TEST_F(HTTPCommandTest, OutcomesCountsAndTableEntriesPerKind) {
  const std::string plain = commands_.io[kCamera].io_template;
  // Exactly 255 characters with "on"; the "off" of the follow-up makes 256.
  const std::string pad(
      camera_http::kCommandMax - std::string("GET /io?pin=1&state=on&pad= HTTP/1.0\r\n\r\n").size(),
      'x');
  const std::string fits_only_on =
      "GET /io?pin=<pinnumber>&state=<status>&pad=" + pad + " HTTP/1.0\r\n\r\n";
  struct Case {
    const char* what;
    jobs::JobCommand command;
    std::string family;
    std::string targets;  // the camera's requests, " " between them
    int successes, errors;
    long status;
  } const cases[] = {
      {"plain set, type in capitals", Command("IO", "S", 3), "sony", "/io?pin=3&state=on", 1, 0,
       alarms::kCommandSucceeded},
      {"pulse whose reset is refused", Command("io", "PS1", 9), "sony",
       "/io?pin=9&state=on /io?pin=9&state=off", 0, 1, alarms::kCommandFailed},
      {"pulse whose reset cannot be built", Command("io", "PS1", 1), "sony",
       "/io?pin=1&state=on&pad=" + pad, 0, 1, alarms::kCommandFailed},
      {"family without outputs", Command("io", "S"), "axis", "", 0, 1, alarms::kCommandFailed},
      {"recording of no duration", Command("rec"), "sonyrsm", "/rec/start", 1, 0,
       alarms::kCommandSucceeded},
      {"recording on sony", Command("rec", "", 0, 1), "sony", "", 0, 1, alarms::kCommandFailed},
      {"unknown type", Command("dance"), "sony", "", 0, 0, alarms::kCommandFailed},
  };
  clock_.jump_on_sleep = true;  // the pulses take no time
  int entry = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (camera_http::CommandRecord* r : Records()) r->family = c.family;
    commands_.io[kCamera].io_template = c.command.pin_number == 1 ? fits_only_on : plain;
    jobs::JobCommand command = c.command;
    command.db_entry = entry;
    int from = static_cast<int>(sim_.Requests("camera", 1).size()) + 1;
    std::shared_ptr<jobs::HTTPCommandArgs> args = Start(command);
    jobs::HTTPCommand(args);
    const jobs::JobCamera& row = args->record->cameras[1];
    EXPECT_EQ(std::pair(row.command_successes.Get(), row.command_errors.Get()),
              std::pair(c.successes, c.errors));
    EXPECT_TRUE(args->record->thread_events[0].IsSet());
    EXPECT_EQ(Status(entry), c.status);
    EXPECT_EQ(Targets(from), c.targets);
    Release(args->job);
    ++entry;
  }
  EXPECT_EQ(Status(entry), 0);  // entries of no command are left alone
  EXPECT_EQ(Said("ERROR: this command has an unknown type", core::ReportLevel::kInfo), 1);
  EXPECT_EQ(Said("HTTPCommand thread (1) started (Input Pin) (camera 5 - alarm reference HC1)",
                 core::ReportLevel::kInfo),
            4);
  EXPECT_EQ(Said("(camera 5) HTTPCommand thread (1 - dance) is over", core::ReportLevel::kInfo), 1);
  EXPECT_EQ(Said("Job 0: (camera 5) command (1) failed"), 5);
  EXPECT_EQ(Said("Job 0: (camera 5) command (1) succeed", core::ReportLevel::kSuccess), 2);
}

TEST_F(HTTPCommandTest, ACommandThatOutlivesItsJobStillResetsButTouchesNoJob) {
  jobs::JobCommand pulse = Command("io", "PS4", 4);
  pulse.db_entry = 2;
  std::shared_ptr<jobs::HTTPCommandArgs> args = Start(pulse);
  const int slot = args->job;
  std::shared_ptr<jobs::Job> first = args->record;
  std::thread worker(jobs::HTTPCommand, args);
  args.reset();  // the thread's own arguments are all it has
  ASSERT_EQ(sim_.AwaitRequests("camera", 1, 1).size(), 1u);
  EXPECT_EQ(Status(2), alarms::kCommandRunning);
  // The job ends while the pulse lasts, and a new job takes its slot.
  ASSERT_TRUE(clock_.AwaitSleepers(1));
  Release(slot);
  ASSERT_EQ(Runner().table().Allocate(jobs::Job()), slot);
  clock_.AdvanceSeconds(4);
  worker.join();
  EXPECT_EQ(Targets(1), "/io?pin=4&state=on /io?pin=4&state=off");
  for (const std::shared_ptr<jobs::Job>& job : {first, Runner().table().InSlot(slot)}) {
    EXPECT_EQ(job->cameras[1].command_successes.Get() + job->cameras[1].command_errors.Get(), 0);
    EXPECT_FALSE(job->thread_events[0].IsSet());
  }
  EXPECT_EQ(Status(2), alarms::kCommandRunning);
  EXPECT_EQ(Said("(camera 5) command (1) ended after its job was over"), 1);
  Release(slot);
}

}  // namespace

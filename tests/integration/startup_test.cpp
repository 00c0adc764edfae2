// Whole-program runs of the gateway's start and end.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "support/gateway_sandbox.h"

using testing_support::Child;
using testing_support::FileExists;
using testing_support::GatewaySandbox;
using testing_support::IniValue;
using testing_support::ReadFile;
using testing_support::WaitFor;
using testing_support::WriteFile;

namespace {

constexpr const char* kBanner =
    "--------------------------------\nTalvane IP Camera v.1.0.0.1\n"
    "--------------------------------\n";

TEST(Startup, BannerFilesSecondInstanceRestartEventAndCrash) {
  // A fresh, empty port register: the defaults are written and the first
  // port of the default range is claimed (listening on it is another
  // test's concern: a gateway elsewhere on the machine may hold it).
  GatewaySandbox box(false);
  // Every start writes one event job.
  const std::string jobs = box.path("sqljob");
  std::filesystem::create_directory(jobs);
  WriteFile(box.IniFile("qx_alarm_db.ini"),
            "[AlarmDatabase]\nWriteDataToDb=1\nWriteJobFiles=1\nJobFilePath=" + jobs + "\n");
  auto event_jobs = [&] { return testing_support::SortedNames(jobs).size(); };
  auto gw = box.Start();
  ASSERT_TRUE(box.WaitStarted());
  EXPECT_EQ(box.Output().rfind(kBanner, 0), 0u) << box.Output();

  // The port register and the statistics of a first start; keys for those
  // who ask for them (StatusPort, MaxDecoders) are never written back.
  auto get = [&](const char* file, const char* section, const char* key) {
    return IniValue(box.IniFile(file), section, key);
  };
  const char* register_file = "qxmoninterfaces.ini";
  EXPECT_EQ(get(register_file, "Config", "FirstIPPort") +
                get(register_file, "Config", "LastIPPort") +
                get(register_file, "Interfaces", "22001"),
            "2200122499ocelam.ini");
  ASSERT_TRUE(
      WaitFor([&] { return get("ocelam.ini", "Statistics", "FirstInstallation") != "<missing>"; }));
  const std::string first = get("ocelam.ini", "Statistics", "FirstInstallation");
  EXPECT_TRUE(std::regex_match(first + get("ocelam.ini", "Statistics", "LastStartup") +
                                   get("ocelam.ini", "Config", "StatusPort") +
                                   get("ocelam.ini", "Config", "MaxDecoders"),
                               std::regex("[0-9a-f]{16}<missing><missing>")))
      << first;

  // A second instance ends at once; the first goes on.
  auto second = box.Start(OCELAM_BIN, "second.out");
  ASSERT_TRUE(second->WaitExit(60));
  EXPECT_EQ(second->exit_code(), 9);
  EXPECT_NE(box.Output("second.out").find("ocelam is already started"), std::string::npos);
  // Arguments are answered without taking the running gateway's lock or
  // stopping it: exit code, output and error output, "|" between them.
  const std::string any = "[\\s\\S]*";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{OCELAM_BIN, "--version"}, "0\\|ocelam 1\\.0\\.0\\.1\n\\|"},
      {{OCELAM_BIN, "--help"},
       "0\\|usage: ocelam " + any + "OCELAM_REGISTRY" + any + "OCELAM_RUNDIR" + any +
           "ocelam\\.ini" + any + "qxmoninterfaces\\.ini" + any + "qx_alarm_db\\.ini" + any +
           "log/" + any + "LOG/" + any + "\\|"},
      {{OCELAM_BIN, "--verbose"},
       "2\\|\\|ocelam: unknown argument '--verbose'\nusage: ocelam " + any},
      {{OCELAM_BIN, "--version", "--help"}, "2\\|\\|" + any + "usage: ocelam " + any},
      {{OCELAM_BIN, "--hash-password"}, "1\\|\\|ocelam: no password given\n"},
      {{OCELAM_EVENT_BIN, "--version"}, "0\\|ocelam-event 1\\.0\\.0\\.1\n\\|"},
      {{OCELAM_EVENT_BIN, "--help"},
       "0\\|usage: ocelam-event " + any + "OCELAM_RUNDIR" + any + "\\|"},
      {{OCELAM_EVENT_BIN, "--version", "x"}, "2\\|\\|usage: ocelam-event " + any},
  };
  for (const auto& [argv, expected] : cases) {
    Child run(argv, box.work(), box.Env(), box.path("args.out"), box.path("args.err"));
    ASSERT_TRUE(run.WaitExit(30)) << argv.back();
    const std::string got = std::to_string(run.exit_code()) + "|" + ReadFile(box.path("args.out")) +
                            "|" + ReadFile(box.path("args.err"));
    EXPECT_TRUE(std::regex_match(got, std::regex(expected))) << got;
  }
  EXPECT_TRUE(gw->running());

  // The gateway clears the event when its start is through, so an event
  // set while it still starts is lost: set it again until it ends.
  ASSERT_TRUE(WaitFor(
      [&] {
        EXPECT_EQ(box.Event("set", "Global\\ocelam_restart"), 0);
        return gw->WaitExit(2);
      },
      60));
  EXPECT_EQ(gw->exit_code(), 0);

  // A restart keeps the first installation time and the port.
  std::string before = ReadFile(box.IniFile("ocelam.ini"));
  before.replace(before.find("LastStartup=") + 12, 8, "00000000");
  WriteFile(box.IniFile("ocelam.ini"), before);
  auto again = box.Start(OCELAM_BIN, "again.out");
  ASSERT_TRUE(box.WaitStarted("again.out"));
  ASSERT_TRUE(WaitFor([&] { return ReadFile(box.IniFile("ocelam.ini")) != before; }));
  EXPECT_EQ(get("ocelam.ini", "Statistics", "FirstInstallation"), first);
  std::string reg = ReadFile(box.IniFile("qxmoninterfaces.ini"));
  EXPECT_EQ(reg.find("22002"), std::string::npos) << reg;

  // A crash never blocks the next start.
  ASSERT_TRUE(WaitFor([&] { return event_jobs() == 2; }));
  again->Signal(SIGKILL);
  ASSERT_TRUE(again->WaitExit(10));
  auto third = box.Start(OCELAM_BIN, "third.out");
  ASSERT_TRUE(box.WaitStarted("third.out"));
  EXPECT_TRUE(third->running());
  ASSERT_TRUE(WaitFor([&] { return event_jobs() == 3; }));
  third->Signal(SIGINT);
  ASSERT_TRUE(third->WaitExit(10));
  EXPECT_EQ(third->exit_code(), 0);
  EXPECT_EQ(event_jobs(), 3) << "the second instance wrote none";
  // Its frame is the unit tests' (tests/monitor); the text is the program's.
  for (const std::string& name : testing_support::SortedNames(jobs))
    EXPECT_NE(ReadFile(jobs + "/" + name)
                  .find(",1,4,'ocelam','',49122,'Application  ocelam  started (version "
                        "v.1.0.0.1)','ocelam;v.1.0.0.1',"),
              std::string::npos)
        << name;
}

TEST(Startup, RenamedExecutableUsesItsOwnNamesAndGarbageProfilesGiveDefaults) {
  GatewaySandbox box;
  std::string copy = box.path("gate2");
  std::filesystem::copy_file(OCELAM_BIN, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  auto gw = box.Start(copy, "gate2.out");
  ASSERT_TRUE(box.WaitStarted("gate2.out"));
  ASSERT_TRUE(WaitFor([&] { return FileExists(box.IniFile("gate2.ini")); }));
  EXPECT_EQ(IniValue(box.IniFile("qxmoninterfaces.ini"), "Interfaces",
                     std::to_string(box.monitor_port())),
            "gate2.ini");
  EXPECT_FALSE(FileExists(box.IniFile("ocelam.ini")));

  // The lock and the restart event keep their names.
  auto original = box.Start(OCELAM_BIN, "original.out");
  ASSERT_TRUE(original->WaitExit(60));
  EXPECT_EQ(original->exit_code(), 9);
  EXPECT_EQ(box.Event("set", "ocelam_restart"), 0);
  ASSERT_TRUE(gw->WaitExit(10));
  EXPECT_EQ(gw->exit_code(), 0);

  // Garbage profiles give defaults. The register keeps the sandbox's own
  // port range first (the first section of a name wins), garbage after it.
  std::string garbage;
  for (int i = 0; i < 50000; ++i) garbage += static_cast<char>((i * 131) & 0xff);
  garbage += "\n" + std::string(100000, '[') + "\n";
  for (const char* f : {"ocelam.ini", "qx_alarm_db.ini", "ocelam_error.ini"})
    WriteFile(box.IniFile(f), garbage);
  WriteFile(box.IniFile("qxmoninterfaces.ini"), box.MonitorPortRange() + garbage);
  // An unwritable log directory loses lines but not the gateway.
  std::filesystem::remove_all(box.work() + "/log");
  WriteFile(box.work() + "/log", "not a directory");
  gw = box.Start(OCELAM_BIN, "garbage.out");
  ASSERT_TRUE(
      WaitFor([&] { return box.Output("garbage.out").find("Talvane") != std::string::npos; }));
  ASSERT_TRUE(WaitFor([&] {
    return ReadFile(box.IniFile("ocelam.ini")).find("LastStartup=") != std::string::npos;
  }));
  EXPECT_TRUE(gw->running());
  EXPECT_NE(box.Output("garbage.out").find("create " + box.work() + "/log"), std::string::npos)
      << box.Output("garbage.out");
  gw->Signal(SIGTERM);
  ASSERT_TRUE(gw->WaitExit(10));
  EXPECT_EQ(gw->exit_code(), 0);
}

}  // namespace

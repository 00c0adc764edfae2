#include "core/profile/user_profile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "support/sandbox.h"

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

// Points the registry at `ini_dir` (nullptr: no value) for this test
// process, through a registry file of its own: the directory is looked up
// once per registry file.
void UseRegistry(const TempDir& sandbox, const char* ini_dir) {
  static int files = 0;
  std::string reg = sandbox / ("registry" + std::to_string(++files) + ".ini");
  WriteFile(reg, "[SOFTWARE\\Talvane\\Orvanta\\Settings]\n" +
                     (ini_dir ? "IniFilePath=" + std::string(ini_dir) + "\n" : ""));
  setenv("OCELAM_REGISTRY", reg.c_str(), 1);
}

TEST(IniDirectory, ResolvesPlainNamesAgainstTheRegistryValue) {
  TempDir sandbox;
  std::string ini = sandbox / "ini";
  ASSERT_EQ(mkdir(ini.c_str(), 0755), 0);
  WriteFile(ini + "/qxacam.ini", "[Cam1Data]\nCameraFamily=sony\n");

  for (std::string value : {ini, ini + "/"}) {
    UseRegistry(sandbox, value.c_str());
    EXPECT_EQ(core::GetIniDirectory(), ini + "/");
    EXPECT_EQ(core::GetIniString("Cam1Data", "CameraFamily", "", "qxacam.ini"), "sony");
  }

  // No value: plain names are relative to the working directory.
  UseRegistry(sandbox, nullptr);
  EXPECT_EQ(core::GetIniDirectory(), "");
  ASSERT_EQ(chdir(sandbox.path().c_str()), 0);
  WriteFile(sandbox / "qxacam.ini", "[Cam1Data]\nCameraFamily=local\n");
  EXPECT_EQ(core::GetIniString("Cam1Data", "CameraFamily", "", "qxacam.ini"), "local");

  // A name with a directory separator bypasses the ini directory.
  UseRegistry(sandbox, ini.c_str());
  EXPECT_EQ(core::GetIniString("Cam1Data", "CameraFamily", "", sandbox.path() + "\\qxacam.ini"),
            "local");
}

TEST(ProfileFile, ReadsAndWritesThroughTheIniDirectory) {
  TempDir sandbox;
  UseRegistry(sandbox, sandbox.path().c_str());
  core::ProfileFile profile("ocelam.ini");
  ASSERT_EQ(profile.Open(), 1);
  ASSERT_TRUE(profile.WriteInt("Config", "WatchTimeout", -9));
  ASSERT_TRUE(profile.WriteString("Config", "WatchPath", "\\qxt\\multimedia"));
  int value = 0;
  profile.GetInt("Config", "WatchTimeout", 4, &value);
  EXPECT_EQ(value, -9);
  char buf[8];
  EXPECT_EQ(profile.GetString("Config", "WatchPath", "", sizeof buf, buf), 7u);
  EXPECT_STREQ(buf, "\\qxt\\mu");
  profile.GetInt("Config", "Missing", 50, &value);
  EXPECT_EQ(value, 50);
  EXPECT_EQ(profile.Close(), 1);
  EXPECT_EQ(ReadFile(sandbox / "ocelam.ini"),
            "[Config]\nWatchTimeout=-9\nWatchPath=\\qxt\\multimedia\n");

  core::ProfileFile copy("other.ini");
  copy = profile;
  EXPECT_STREQ(copy.name(), "ocelam.ini");
}

}  // namespace

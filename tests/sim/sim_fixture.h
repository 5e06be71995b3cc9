// A temporary program folder (ConfigSettings.ini and the response files go
// there), a log file of the test's own, and an empty RobotDataBuffer.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "script/run_state.h"
#include "sim/settings.h"
#include "sim/simulated_robot.h"
#include "support/test_support.h"

class SimFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.File("test.log");
    ASSERT_LT(logPath_.size(), sizeof LogFilePath);
    std::snprintf(LogFilePath, sizeof LogFilePath, "%s", logPath_.c_str());
    UseFolder("program");
    ReleaseBuffer(&RobotDataBuffer);
    SimulationEnabled = false;
    LastError = 0;
  }

  void TearDown() override {
    plat::FailNthAllocation(0);
    LogFilePath[0] = '\0';
    SetProgramFolderForTesting("");
    ReleaseBuffer(&RobotDataBuffer);
    SimulationEnabled = false;
  }

  // Makes a fresh folder the program's folder (each settings file gets its
  // own path, so no reader can mistake it for one it has seen).
  void UseFolder(const std::string& name) {
    folder_ = dir_.File(name);
    std::filesystem::create_directories(folder_);
    SetProgramFolderForTesting(folder_);
  }

  static std::string Join(std::initializer_list<std::string> parts) {
    std::string path;
    for (const auto& part : parts) path += (path.empty() ? "" : plat::kPathSeparator) + part;
    return path;
  }

  std::string SettingsPath() const { return Join({folder_, "ConfigSettings.ini"}); }
  void WriteSettings(const std::string& text) { testing_support::WriteFileBytes(SettingsPath(), text); }

  std::vector<std::string> Log() const {
    return testing_support::LogMessages(testing_support::ReadFileBytes(logPath_));
  }
  void ClearLog() { testing_support::WriteFileBytes(logPath_, ""); }
  bool Logged(const std::string& line) const {
    auto lines = Log();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  static std::string Robot() {
    return std::string(RobotDataBuffer.begin, static_cast<size_t>(BufferUsed(RobotDataBuffer)));
  }

  testing_support::TempDir dir_;
  std::string folder_;
  std::string logPath_;
};

#include "sim/simulated_robot.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/text.h"
#include "sim/settings.h"

char VersionFilePath[kPathMax] = {0};
int32_t SimulatedImageSize = 0;

namespace {
const char kVersionFile[] = "getversion.txt";
const char kVersionFileAfterUpdate[] = "getVersion_AfterUpdate.txt";

// The version file's path whole. VersionFilePath holds it cut to its 260
// characters; when it doesn't fit, reading this one fails as too long
// instead of reading whatever the cut path names.
std::string g_versionFile;

void SetVersionFile(const char* name) {
  g_versionFile = JoinedPath(ResponseFilesPath, name);
  CopyCut(VersionFilePath, sizeof VersionFilePath, g_versionFile);
}

bool FileOpens(const std::string& path) {
  if (path.size() >= static_cast<size_t>(kPathMax)) return false;
  plat::ReadFileHandle* file = plat::OpenForRead(path.c_str());
  if (!file) return false;
  plat::CloseFile(file);
  return true;
}

// The appenders' answer when RobotDataBuffer can't get storage (it is empty by then).
CommandStatus OutOfMemory(const char* logLine) {
  LastError = plat::kErrorNotEnoughMemory;
  LogWrite("%s", logLine);
  return CommandStatus::LocalError;
}

const char kBufferNoMemory[] = "\t\tERROR - CollectRobotDataFromBuffer failed. Not Enough Memory\n";
const char kFileNoMemory[] = "\t\tERROR - CollectRobotDataFromFile failed. Not Enough Memory\n";

CommandStatus AnswerFromFile(const char* fileName) {
  return CollectRobotDataFromFile(JoinedPath(ResponseFilesPath, fileName).c_str());
}
}  // namespace

void StartSimulation() {
  // A run starts from the program's start state, whatever an earlier call left.
  std::memset(ResponseFilesPath, 0, sizeof ResponseFilesPath);
  std::memset(VersionFilePath, 0, sizeof VersionFilePath);
  g_versionFile.clear();
  SimulatedImageSize = 0;

  SimulationEnabled = IsRobotSimulationOn();
  if (!SimulationEnabled) return;
  LogWrite("***** Robot response simulation is ON *****\n");

  RobotDetails details = ReadCurrentRobotDetails();
  LogWrite("\t~~~~~~~~~~~~~~~~~~~~~~ Simulating Robot ~~~~~~~~~~~~~~~~~~~~~~\n");
  LogWrite("\tHardware [%s]\n", details.Hardware);
  LogWrite("\tSoftware Version [%d]\n", details.SoftwareVersion);
  LogWrite("\tLDSSoftware Version [%d]\n", details.LDSSoftwareVersion);
  LogWrite("\tModelId [%s]\n", details.ModelId);
  LogWrite("\tConfigId [%d]\n", details.ConfigId);

  if (details.Hardware[0] == '\0' || details.SoftwareVersion == 0 ||
      details.LDSSoftwareVersion == 0 || details.ModelId[0] == '\0') {
    LogWrite("\tERROR - Disabling simulation. The information required for Robot response "
             "simulation is NOT provided correctly.\n");
    SimulationEnabled = false;
  } else {
    BuildResponseFilesPath(details);
    SetVersionFile(kVersionFile);
    if (!FileOpens(g_versionFile)) {
      LogWrite("\tERROR - Simulation is turned OFF. File [%s] not found in the folder [%s]\n",
               kVersionFile, ResponseFilesPath);
      SimulationEnabled = false;
    }
    SimulatedImageSize = ReadRobotImageSize(details.Hardware);
  }
  LogWrite("\t~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n");
}

CommandStatus SimulatedDoSend(const char* argument) {
  char word[128];
  CopyCut(word, sizeof word, argument);
  word[std::strcspn(word, " \t")] = '\0';
  LogWrite("\t\tRobot command: [%s]\n", word);

  if (plat::EqualsNoCase(word, "getversion")) return CollectRobotDataFromFile(g_versionFile.c_str());
  if (plat::EqualsNoCase(word, "testlds")) return AnswerFromFile("testlds_cmd_getversion.txt");
  if (plat::EqualsNoCase(word, "getschedule")) return AnswerFromFile("scheduleinfo.txt");
  if (plat::EqualsNoCase(word, "getwarranty")) return AnswerFromFile("getwarrantyinfo.txt");
  if (plat::EqualsNoCase(word, "gettime")) {
    return CollectRobotDataFromBuffer("gettime\r\nFriday 9:34:06\r\n");
  }
  if (plat::EqualsNoCase(word, "testmode")) {
    // The robot echoes the whole command, however long; so does the simulator.
    std::string echo = std::string(argument) + "\r\n";
    return CollectRobotDataFromBuffer(echo.c_str());
  }
  if (plat::EqualsNoCase(word, "setlanguage")) {
    return CollectRobotDataFromBuffer("SetLanguage None\r\nUI Language: None\r\n");
  }
  if (plat::EqualsNoCase(word, "setconfig")) return AnswerFromFile("configsettings.txt");

  LogWrite("\t\tERROR - SimulatedDoSend failed. Unknown command.\n");
  return CommandStatus::UnknownCmd;
}

CommandStatus SimulatedDoUpload() {
  SetVersionFile(kVersionFileAfterUpdate);
  LogWrite("\tSimulatedDoUpload - New version file [%s], Robot Image Size [%d]\n", VersionFilePath,
           SimulatedImageSize);
  char echo[512];
  std::snprintf(echo, sizeof echo, "\tUpload code reboot Size %d\r\n", SimulatedImageSize);
  return CollectRobotDataFromBuffer(echo);
}

CommandStatus CollectRobotDataFromBuffer(const char* text) {
  LogWrite("\t\tCollectRobotDataFromBuffer [%s]\n", text);
  if (!RobotDataBuffer.begin && !GrowBuffer(&RobotDataBuffer)) {
    return OutOfMemory(kBufferNoMemory);
  }
  size_t left = std::strlen(text);
  while (left > 0) {
    size_t room = static_cast<size_t>(BufferFree(RobotDataBuffer));
    size_t n = left < room ? left : room;
    std::memcpy(RobotDataBuffer.position, text, n);
    RobotDataBuffer.position += n;
    text += n;
    left -= n;
    if (BufferFree(RobotDataBuffer) <= kBufferLowWater && !GrowBuffer(&RobotDataBuffer)) {
      return OutOfMemory(kBufferNoMemory);
    }
  }
  return CommandStatus::OK;
}

CommandStatus CollectRobotDataFromFile(const char* path) {
  LogWrite("\t\tCollectRobotDataFromFile [%s]\n", path);
  plat::ReadFileHandle* file = nullptr;
  if (std::strlen(path) >= static_cast<size_t>(kPathMax)) {
    plat::SetLastErrorCode(plat::kErrorFilenameExcedRange);
  } else {
    file = plat::OpenForRead(path);
  }
  if (!file) {
    LastError = plat::LastErrorCode();
    LogWrite("\t\tERROR - CollectRobotDataFromFile failed to open file. Error=%d\n", LastError);
    return CommandStatus::LocalError;
  }
  if (!RobotDataBuffer.begin && !GrowBuffer(&RobotDataBuffer)) {
    plat::CloseFile(file);
    return OutOfMemory(kFileNoMemory);
  }
  for (;;) {
    uint32_t got = 0;
    bool ok = plat::ReadFromFile(file, RobotDataBuffer.position,
                                 static_cast<uint32_t>(BufferFree(RobotDataBuffer)), &got);
    // A read error ends the copy like the end of the file; what did arrive stays.
    RobotDataBuffer.position += got;
    if (!ok || got == 0) break;
    if (BufferFree(RobotDataBuffer) <= kBufferLowWater && !GrowBuffer(&RobotDataBuffer)) {
      plat::CloseFile(file);
      return OutOfMemory(kFileNoMemory);
    }
  }
  plat::CloseFile(file);
  return CommandStatus::OK;
}

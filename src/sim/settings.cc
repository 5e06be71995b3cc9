#include "sim/settings.h"

#include <cstring>

#include "platform/files.h"
#include "platform/profile.h"
#include "platform/text.h"

char ResponseFilesPath[kPathMax] = {0};

namespace {
const char kSettingsFileName[] = "ConfigSettings.ini";
const char kSimulationSection[] = "RobotSimulationSettings";
const char kRobotSection[] = "CurrentRobotDetails";
const char kActionSection[] = "ActionToSimulate";
const char kImageSection[] = "LatestRobotImageDetails";

// Long enough for any executable path the system hands out; whether the
// settings path built from it fits is checked where it is built.
constexpr size_t kModulePathLimit = 4096;

std::string g_testFolder;

int32_t ReadSettingsInt(const char* section, const char* key, int32_t defaultValue) {
  char path[kPathMax];
  if (!GetConfigSettingsPath(path)) return defaultValue;
  return plat::ReadProfileInt(path, section, key, defaultValue);
}

void ReadSettingsText(const char* section, const char* key, const char* defaultValue, char* out,
                      uint32_t outSize) {
  char path[kPathMax];
  if (!GetConfigSettingsPath(path)) {
    CopyCut(out, outSize, defaultValue);
    return;
  }
  plat::ReadProfileString(path, section, key, defaultValue, out, outSize);
}
}  // namespace

std::string ProgramFolder() {
  if (!g_testFolder.empty()) return g_testFolder;
  return plat::FolderOf(plat::ModulePath(kModulePathLimit));
}

void SetProgramFolderForTesting(const std::string& folder) { g_testFolder = folder; }

std::string JoinedPath(const std::string& folder, const std::string& name) {
  return folder + plat::kPathSeparator + name;
}

void CopyCut(char* out, size_t size, const std::string& text) {
  if (size == 0) return;
  size_t n = text.size() < size ? text.size() : size - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

bool GetConfigSettingsPath(char* path) {
  std::string full = JoinedPath(ProgramFolder(), kSettingsFileName);
  if (full.size() >= static_cast<size_t>(kPathMax)) {
    path[0] = '\0';
    return false;
  }
  CopyCut(path, kPathMax, full);
  return true;
}

bool IsRobotSimulationOn() {
  char path[kPathMax];
  if (!GetConfigSettingsPath(path)) return false;
  if (plat::ReadProfileInt(path, kSimulationSection, "SimulateRobotResponses", 0) != 1) return false;
  LogWrite("Robot Simulation is ON in [%s]\n", path);
  return true;
}

RobotDetails ReadCurrentRobotDetails() {
  RobotDetails details;
  std::memset(&details, 0, sizeof details);
  char path[kPathMax];
  GetConfigSettingsPath(path);
  LogWrite("\tLooking for Current Robot Details in [%s]\n", path);
  ReadSettingsText(kRobotSection, "Hardware", "", details.Hardware, sizeof details.Hardware);
  details.SoftwareVersion = ReadSettingsInt(kRobotSection, "SoftwareVersion", 0);
  details.LDSSoftwareVersion = ReadSettingsInt(kRobotSection, "LDSSoftwareVersion", 0);
  ReadSettingsText(kRobotSection, "ModelId", "", details.ModelId, sizeof details.ModelId);
  details.ConfigId = ReadSettingsInt(kRobotSection, "ConfigId", 0);
  return details;
}

void BuildResponseFilesPath(const RobotDetails& details) {
  char folderName[kPathMax];
  ReadSettingsText(kSimulationSection, "SimulatedResponseFilesFolderName", "ResponseFiles",
                   folderName, sizeof folderName);
  // The name always goes under the executable's folder, even when it looks
  // like a full path of its own.
  std::string root = JoinedPath(ProgramFolder(), folderName);

  std::string versions = std::to_string(details.SoftwareVersion) + "_" +
                         std::to_string(details.LDSSoftwareVersion);
  std::string path = JoinedPath(JoinedPath(JoinedPath(root, details.Hardware), versions), details.ModelId);
  if (details.ConfigId > 0) path = JoinedPath(path, std::to_string(details.ConfigId));

  // A path that doesn't fit is cut here; the start-up then can't find
  // getversion.txt under it and turns simulation off.
  std::memset(ResponseFilesPath, 0, sizeof ResponseFilesPath);
  CopyCut(ResponseFilesPath, sizeof ResponseFilesPath, path);
  LogWrite("\tResponse Files Path Used [%s]\n", ResponseFilesPath);
}

int32_t ReadRobotImageSize(const char* hardware) {
  bool zarn = plat::EqualsNoCase(hardware, "Zarn");
  if (!zarn && !plat::EqualsNoCase(hardware, "Molvy")) {
    LogWrite("\tInvalid Hardware name specified: [%s]\n", hardware);
  }
  int32_t updateType = ReadSettingsInt(kActionSection, "UpdateType", 1);
  LogWrite("\tUpdate type for [%s]: [%d]\n", hardware, updateType);
  const char* key;
  if (updateType == 1) {
    key = zarn ? "UpgradeImageSize_Zarn" : "UpgradeImageSize_Molvy";
  } else if (updateType == 2) {
    key = zarn ? "DowngradeImageSize_Zarn" : "DowngradeImageSize_Molvy";
  } else {
    return 0;
  }
  int32_t size = ReadSettingsInt(kImageSection, key, 0);
  LogWrite("\tRobot Image Size: [%d]\n", size);
  return size;
}

// The simulation settings: ConfigSettings.ini beside the executable says
// whether robot commands are simulated, which robot is pretended to be
// attached, and which image size a simulated upload reports. Nothing here
// writes to the file, and every routine reads it afresh.
#pragma once
#include <cstdint>
#include <string>

#include "log/log.h"

constexpr int kRobotDetailTextSize = 255;  // 254 characters and the terminator

// The section CurrentRobotDetails of the settings file.
struct RobotDetails {
  char Hardware[kRobotDetailTextSize];
  int32_t SoftwareVersion;
  int32_t LDSSoftwareVersion;
  char ModelId[kRobotDetailTextSize];
  int32_t ConfigId;
};

// The folder the simulator takes its answers from; empty until built.
extern char ResponseFilesPath[kPathMax];

// Writes the full path of ConfigSettings.ini into path (kPathMax characters).
// False, with path empty, when it would not fit: a cut path could name
// another file, so the settings then count as absent.
bool GetConfigSettingsPath(char* path);

// True when SimulateRobotResponses is exactly 1 (logged with the file's path).
bool IsRobotSimulationOn();

RobotDetails ReadCurrentRobotDetails();

// Sets ResponseFilesPath from the executable's folder, the folder name of
// the settings and the robot details, and logs it.
void BuildResponseFilesPath(const RobotDetails& details);

// The image size a simulated upload reports for the hardware, or 0 when the
// update type is neither an upgrade nor a downgrade.
int32_t ReadRobotImageSize(const char* hardware);

// The executable's folder: where ConfigSettings.ini and the response files live.
std::string ProgramFolder();

// Lets tests put the settings and response files in a folder of their own;
// an empty folder goes back to the executable's.
void SetProgramFolderForTesting(const std::string& folder);

// folder, the platform's separator and name, whole (never cut).
std::string JoinedPath(const std::string& folder, const std::string& name);

// Copies text into a fixed buffer of size bytes, cut to fit and terminated.
void CopyCut(char* out, size_t size, const std::string& text);


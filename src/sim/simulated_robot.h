// The simulated robot: with SimulationEnabled on, send and upload are
// answered here, into RobotDataBuffer, from the response files of
// ResponseFilesPath and from fixed texts.
#pragma once
#include <cstdint>

#include "log/log.h"
#include "script/run_state.h"
#include "sim/simulation.h"

// The file that answers getversion: getversion.txt until the first simulated
// upload, getVersion_AfterUpdate.txt after it.
extern char VersionFilePath[kPathMax];
// The image size each simulated upload echoes; 0 until the start-up reads it.
extern int32_t SimulatedImageSize;

// Decides, once per server run, whether robot commands are simulated.
void StartSimulation();

// Answers a send command's argument (present, not starting with a blank).
CommandStatus SimulatedDoSend(const char* argument);

// Answers an upload: echoes the image size and switches getversion to the
// after-update file.
CommandStatus SimulatedDoUpload();

// Append a text (without its terminator) or a whole file to RobotDataBuffer.
CommandStatus CollectRobotDataFromBuffer(const char* text);
CommandStatus CollectRobotDataFromFile(const char* path);

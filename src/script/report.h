// The report of a run: a multipart/form-data body with the parts Version,
// Log (one status record per line run) and Robot (everything the robot said).
#pragma once
#include <cstdint>

constexpr int32_t kReportStorage = 65536;

struct ResultReport {
  char* body;     // zero byte after the data; 65,536 bytes unless more was needed
  int32_t size;   // bytes of body data
  char boundary[128];
  char contentType[128];
};

extern const char UpgraderVersion[];

// The boundary letters' generator: a linear congruential one that starts at 1
// in every process and is never seeded, so a process's first boundary is fixed.
extern uint32_t ReportRandomState;
int ReportRandom();

// False when the body's storage can't be had (then nothing is to be released).
bool BuildResultReport(ResultReport* report);
void ReleaseResultReport(ResultReport* report);

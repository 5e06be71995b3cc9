#include "robot/upload_progress.h"

#include <cstdio>

#include "app/app.h"
#include "log/log.h"
#include "platform/desktop_progress.h"
#include "platform/language.h"

namespace {

const char kUpdatingFormat[] = "Updating the robot: %d%% sent. Keep it plugged in and switched on until this is done.";
const char kTaken[] = "The robot has taken the update.";
const char kNotTaken[] = "The robot did not take the update. The maker's page will say what to do.";

void FormatUpdating(int percent, char* text, size_t size) {
  std::snprintf(text, size, plat::Translate(kUpdatingFormat), percent);
}

}  // namespace

void UploadProgressBegin() {
  char text[512];  // room for the longer languages
  FormatUpdating(0, text, sizeof text);
  plat::BeginDesktopProgress(AppTitle, text);
}

void UploadProgressPercent(int percent) {
  char text[512];
  FormatUpdating(percent, text, sizeof text);
  plat::SetDesktopProgress(percent, text);
}

void UploadProgressEnd(bool taken) {
  switch (plat::EndDesktopProgress(plat::Translate(taken ? kTaken : kNotTaken), !taken)) {
    case plat::DesktopShown::Yes:
      LogWrite("\tUpload progress shown on the desktop\n");
      break;
    case plat::DesktopShown::No:
      LogWrite("\tUpload progress not shown: no desktop notification service\n");
      break;
    case plat::DesktopShown::NoAnswerYet:
      LogWrite("\tUpload progress not shown yet: the desktop notification service has not answered\n");
      break;
  }
}

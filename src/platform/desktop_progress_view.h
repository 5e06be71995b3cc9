// What each backend of desktop_progress.h provides. All three are called on
// the progress thread only, never on the caller's, so they may block.
#pragma once
#include <string>

namespace plat {

struct DesktopProgressView {
  std::string title;
  std::string text;
  int percent = 0;
  bool ended = false;   // text is the outcome
  bool failed = false;  // ... of a job that failed
};

struct DesktopProgressShown;

// Connects to what shows progress; nullptr when there is nothing.
DesktopProgressShown* OpenDesktopProgress();
// Shows view, in place of what this connection showed before. False when the
// desktop refused it.
bool ShowDesktopProgress(DesktopProgressShown* shown, const DesktopProgressView& view);
// Lets go of the connection (the last view showed the outcome, or a new job
// starts).
void CloseDesktopProgress(DesktopProgressShown* shown);

}  // namespace plat

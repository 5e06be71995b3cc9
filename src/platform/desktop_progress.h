// A long job's progress shown to the person at the desktop: a notification
// updated in place on Linux (org.freedesktop.Notifications on the session
// bus), the shell's progress window on Windows.
//
// The caller's thread never waits on the desktop: every call only records
// the latest state for a thread of its own that shows it, at most once a
// second, and is over in microseconds whether or not there is a desktop, a
// bus or a notification service, and however slowly the service answers.
// What can't be shown is dropped; nothing is retried.
#pragma once

namespace plat {

// Starts showing a job under title with text at 0 percent.
void BeginDesktopProgress(const char* title, const char* text);

// The job is percent (0 to 100) done; text replaces the shown text.
void SetDesktopProgress(int percent, const char* text);

// What became of a job's showing, as far as known when it ended.
enum class DesktopShown {
  Yes,          // the desktop accepted it
  No,           // nothing to show it on (no bus, no service), or refused
  NoAnswerYet,  // sent; the desktop has not answered (slow, or stopped)
};

// Shows the outcome (one sentence) in place of the progress and ends the job;
// failed marks it as an alarm, kept until the next job or the process's end.
// Says whether the desktop took the progress (Yes once it has accepted the
// first showing). Waits for that answer at most 50 ms, and only when it
// hasn't come yet. The outcome itself is shown in the background; the
// process's end waits up to four seconds for it.
DesktopShown EndDesktopProgress(const char* outcome, bool failed);

}  // namespace plat

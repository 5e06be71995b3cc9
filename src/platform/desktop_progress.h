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

// Shows the outcome (one sentence) in place of the progress and ends the job;
// failed asks the desktop to keep it until the person has seen it. Returns
// whether the desktop took the progress: true once it has accepted the first
// showing. Waits for that answer at most 50 ms, and only when it hasn't
// come yet (a service that answers slowly counts as none). The outcome
// itself is shown in the background; the process's end waits up to four
// seconds for it.
bool EndDesktopProgress(const char* outcome, bool failed);

}  // namespace plat

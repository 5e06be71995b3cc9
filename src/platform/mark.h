// A mark that one process at a time can hold, seen by every copy of the
// program: an upload holds it so that a copy started later never ends the
// one that is writing an image to the robot. It goes with its holder: the
// mark of a process that ends or dies, however, is free at once.
//
// Windows: the named mutex "Global\KelvoUpgrader.<name>" (one robot per
// machine, so one mark per machine; a mutex of another user that we may not
// open fails to open, and the caller treats that as not knowing). Linux: an
// flock on the file "KelvoUpgrader.<name>.lock" in the user's runtime folder:
// $XDG_RUNTIME_DIR when it is an absolute path to a folder, else
// /run/user/<uid> when that is our folder, else /tmp/KelvoUpgrader-<uid>
// (made 0700, and used only while it is ours alone and not a link).
#pragma once

namespace plat {

struct Mark;

// Opens the mark called name (made on first use). nullptr on failure, with
// the Windows error code in LastErrorCode().
Mark* OpenMark(const char* name);

enum class MarkTake { Taken, Busy, Failed };

// Takes the mark, waiting up to waitMs for another holder to let it go
// (0: only a look). Busy when another process still holds it; Failed with
// LastErrorCode() set. A mark whose holder died is taken.
MarkTake TakeMark(Mark* mark, int waitMs);

// One process opens and takes a mark once at a time: a Windows thread that
// holds it may take it again, while on Linux a second open in the same
// process is a second holder and would wait for the first.

// Lets go of a taken mark.
void ReleaseMark(Mark* mark);

// Closes the mark, letting go of it if it was taken. nullptr is fine.
void CloseMark(Mark* mark);

}  // namespace plat

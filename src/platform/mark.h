// A mark that one process at a time can hold, seen by every copy of the
// program. The program has two: an upload holds the upload mark so that a
// copy started later never ends the one that is writing an image to the
// robot; a copy that ends older copies holds the ending mark, and the upload
// mark under it, while it looks, ends and waits for them to be gone. A mark
// goes with its holder: the mark of a process that ends or dies is free at once.
//
// Windows: the named mutex "Global\KelvoUpgrader.<name>" (one robot per
// machine, so one mark per machine). A mutex of another account that we may
// not open fails to open; one that we may open but that another account
// made (its owner is neither our user nor our token's default owner) is
// refused too: any program can take the name first, and its hold must not
// stop our copies. The user's copies then agree on the name
// "Global\KelvoUpgrader.<name>.<the user's SID>"; when that is refused as
// well, the caller treats it as not knowing, and every wait on
// a mark is bounded by what it waits for (see the callers). Linux: an flock on
// the file "KelvoUpgrader.<name>.lock" in the first of these folders where
// both the folder and the file are the user's alone (owned by the user,
// writable by nobody else; the file made 0600): $XDG_RUNTIME_DIR when it is
// an absolute path, /run/user/<uid>, /tmp/KelvoUpgrader-<uid> (made 0700, not
// a link), the folder KelvoUpgrader in the user's state folder (made 0700).
// A place another account made or can write into is passed by, so no other
// account can hold the user's copies back or make the marks fail; and a copy
// ends only copies of its own user.
#pragma once
#include <string>
#include <vector>

namespace plat {

struct Mark;

// Opens the mark called name (made on first use). nullptr on failure, with
// the Windows error code in LastErrorCode(). Each place passed by because
// another account made it or can claim it goes into refused, when given,
// as a line for the log (its path or name and why).
Mark* OpenMark(const char* name, std::vector<std::string>* refused = nullptr);

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

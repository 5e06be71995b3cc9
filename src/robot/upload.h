// Moving a firmware or data image to the robot: the upload command line with
// the size, the robot's ENQ, the image and its 4-byte sum, the robot's ACK.
#pragma once

namespace plat {
struct Mark;
}

// Sends pFileRxBuffer (FileRxSize bytes) over the open RobotPort. argumentText
// is the upload command's text (never null). True when the robot sent ACK;
// false on any failure, already logged. Every byte the robot sends on the way
// goes to RobotDataBuffer. The whole exchange holds the upload mark (waiting
// for it first if another copy holds it), so that a copy started meanwhile
// waits for the upload's end before it ends this one.
bool sendFile(const char* argumentText);

// Opens the upload mark (platform/mark.h) and takes it; a copy that ends
// another holds it while it does. While another copy holds it, logs busyLine
// once and waits without limit: every step of an upload has its own
// time-out, and the mark of a copy that dies goes with it. *waitedSeconds is
// how long that took, -1 when the mark was free. nullptr when the mark can't
// be opened or taken, with the reason in LastErrorCode().
plat::Mark* TakeUploadMark(const char* busyLine, int* waitedSeconds);

// The name of that mark.
extern const char kUploadMarkName[];

// While set, the image write shows its progress on standard output (bytes
// sent of the total and the rate, overwritten in place). Set by the start-up
// when a console is attached; off by default.
extern bool ShowUploadProgress;

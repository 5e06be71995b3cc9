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
// for it a few seconds at most if another holds it), so that a copy started
// meanwhile waits for the upload's end before it ends this one.
bool sendFile(const char* argumentText);

// Opens the upload mark (platform/mark.h) and takes it. An upload holds it
// from its command line to the end of the ACK wait; a copy that ends older
// copies holds it (under a mark of its own for the ending) while it looks,
// ends and waits for them to be gone. While another holds it, logs busyLine
// once and waits, up to limitSeconds: a copy holds it no longer than that
// for an ending, and whatever holds it longer (a program of another account
// that took the name) must not hold an upload back. *waitedSeconds is how
// long the wait took, -1 when the mark was free. nullptr when the mark can't
// be opened or taken, with the reason in LastErrorCode(), or when it is still
// held after the limit (*busy set).
plat::Mark* TakeUploadMark(const char* busyLine, int limitSeconds, int* waitedSeconds, bool* busy);

// The name of that mark.
extern const char kUploadMarkName[];

// While set, the image write shows its progress on standard output (bytes
// sent of the total and the rate, overwritten in place). Set by the start-up
// when a console is attached; off by default.
extern bool ShowUploadProgress;

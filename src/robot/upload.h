// Moving a firmware or data image to the robot: the upload command line with
// the size, the robot's ENQ, the image and its 4-byte sum, the robot's ACK.
#pragma once

// Sends pFileRxBuffer (FileRxSize bytes) over the open RobotPort. argumentText
// is the upload command's text (never null). True when the robot sent ACK;
// false on any failure, already logged. Every byte the robot sends on the way
// goes to RobotDataBuffer. The whole exchange holds the upload mark (waiting
// for it first if another copy holds it), so that a copy started meanwhile
// waits for the upload's end before it ends this one.
bool sendFile(const char* argumentText);

// The name of that mark (platform/mark.h); a copy that ends another holds it
// while it does.
extern const char kUploadMarkName[];

// While set, the image write shows its progress on standard output (bytes
// sent of the total and the rate, overwritten in place). Set by the start-up
// when a console is attached; off by default.
extern bool ShowUploadProgress;

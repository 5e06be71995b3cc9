// What the person at the PC sees of an upload: from the robot's ENQ to its
// ACK (or the failure) the desktop shows how far the image is and that the
// robot must stay plugged in and switched on, then the outcome. Nothing here
// waits on the desktop (platform/desktop_progress.h).
#pragma once

// The robot has answered ENQ; the image is about to go out.
void UploadProgressBegin();
// percent (0 to 100) of the image has been written.
void UploadProgressPercent(int percent);
// The upload is over: taken is true when the robot sent ACK. Logs one line
// saying whether the desktop showed the progress.
void UploadProgressEnd(bool taken);

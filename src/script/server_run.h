#pragma once

// The run of a kelvo:// launch: download the script, run it, post the report
// to the Reply-To address and run the server's reply as the next pass.
void ServerRun(const char* scriptUrl, const char* replyTo);

// Records a failed script download in the report's Log part.
void RecordDownloadFailure(int httpStatus);

#include "script/server_run.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "log/log.h"
#include "platform/language.h"
#include "platform/message_box.h"
#include "robot/serial_io.h"
#include "script/engine.h"
#include "script/report.h"
#include "script/run_state.h"
#include "script/web_commands.h"
#include "sim/simulated_robot.h"
#include "web/http_client.h"

void RecordDownloadFailure(int httpStatus) {
  char record[128];
  int n = std::snprintf(record, sizeof record, "%s %d", "HttpError", httpStatus);
  std::string text(record, static_cast<size_t>(n));
  text += "\r\n";
  AppendStatusText(text.data(), static_cast<int32_t>(text.size()));
}

void ServerRun(const char* scriptUrl, const char* replyTo) {
  LastError = 0;
  bool unknownCommand = false;

  if (replyTo) {
    LogWrite("Reply Url [%s]\n", replyTo);
    doReplyTo(nullptr, replyTo);
  }

  LogWrite("Downloading script file [%s]...\n", scriptUrl);
  int status = httpGet(scriptUrl, &ScriptBuffer.text, &ScriptBuffer.length);
  bool scriptToRun = status == 200;
  if (scriptToRun) {
    LogWrite("Script file downloaded successfully. Executing commands...\n");
  } else {
    LogWrite("ERROR - Failed to download script file. Error=%d\n", status);
    RecordDownloadFailure(status);
    if (ReplyUrl[0] == '\0') {
      LogWrite("Reply-To Url is NULL hence showing the error in a message box\n");
      // The box says what went wrong when the exchange failed on the way (a
      // name that doesn't resolve, a server that can't be reached), and that
      // the script can't be found otherwise.
      std::string text;
      int32_t code = httpLastInternetError();
      if ((code != 0 && plat::SystemMessageText(code, &text)) || plat::SystemMessageText(2, &text)) {
        plat::ShowMessageBox(AppTitle, text.c_str());
      } else {
        plat::ShowMessageBox(AppTitle, plat::Translate("Failed to locate update script."));
      }
      ReleaseRunResources();
      return;
    }
  }

  StartSimulation();

  for (;;) {
    if (scriptToRun) {
      PrepareScriptText();
      if (RunScriptText() == CommandStatus::UnknownCmd) unknownCommand = true;
    }
    LogWrite("Script execution complete.\n");
    CloseRobotPort();

    if (ReplyUrl[0] == '\0') {
      LogWrite("ERROR - There is no Reply-To address. Cannot POST result\n");
      break;
    }
    LogWrite("Posting status to Reply URL...\n");
    ReleaseScript();

    ResultReport report;
    if (!BuildResultReport(&report)) break;
    LogWrite("Url:\n{\n%s\n}\nContentType:[%s]\nBody:\n{\n%s\n}\n\nDataSize:[%d]\n", ReplyUrl,
             report.contentType, report.body, report.size);
    int postStatus = httpPost(report.contentType, report.body, static_cast<uint32_t>(report.size), &ScriptBuffer.text,
                              &ScriptBuffer.length);
    ReleaseResultReport(&report);

    if (postStatus != 200 || ScriptBuffer.length <= 0 || unknownCommand) break;
    // The reply is the next script; each report covers only its own pass.
    ReleaseBuffer(&StatusLogBuffer);
    ReleaseBuffer(&RobotDataBuffer);
    scriptToRun = true;
  }
  ReleaseRunResources();
}

#include "script/robot_commands.h"

#include <cstring>

#include "app/find_no_case.h"
#include "log/log.h"
#include "platform/errors.h"
#include "robot/serial_io.h"
#include "robot/upload.h"
#include "sim/simulated_robot.h"
#include "sim/simulation.h"

namespace {

// The command text (when there is one) and the carriage return that ends
// it. A failed write leaves its code in LastError.
CommandStatus WriteRobotCommand(const char* argument) {
  if (argument &&
      !WriteComPort(nullptr, argument, static_cast<int32_t>(std::strlen(argument)), RobotPort.handle)) {
    LastError = plat::LastErrorCode();
    return CommandStatus::LocalError;
  }
  if (!WriteComPort(nullptr, "\r", 1, RobotPort.handle)) {
    LastError = plat::LastErrorCode();
    return CommandStatus::LocalError;
  }
  return CommandStatus::OK;
}

}  // namespace

CommandStatus doSend(const char*, const char* argument) {
  if (SimulationEnabled) {
    LogWrite("\tdoSend simulated response\n");
    if (!argument) {
      LogWrite("\tdoSend - Command argument is NULL ignore the command.\n");
      return CommandStatus::OK;
    }
    return SimulatedDoSend(argument);
  }
  CommandStatus status = CheckRobotCom();
  if (status != CommandStatus::OK) return status;
  status = WriteRobotCommand(argument);
  if (status != CommandStatus::OK) return status;
  return CollectRobotDataFromPort();
}

CommandStatus doSendNoWait(const char*, const char* argument) {
  if (SimulationEnabled) {
    LogWrite("\tdoSendNoWait simulated response - Does Nothing\n");
    return CommandStatus::OK;
  }
  CommandStatus status = CheckRobotCom();
  if (status != CommandStatus::OK) return status;
  status = WriteRobotCommand(argument);
  if (status != CommandStatus::OK) return status;  // the port stays open
  // Nothing is read: the next robot command finds and opens the port afresh.
  CloseRobotPort();
  return CommandStatus::OK;
}

CommandStatus doUpload(const char*, const char* argument) {
  if (SimulationEnabled) {
    LogWrite("\tdoUpload simulated response\n");
    return SimulatedDoUpload();
  }
  CommandStatus status = CheckRobotCom();
  if (status != CommandStatus::OK) {
    LogWrite("ERROR - doUpload - CheckRobotCom Failed\n");
    return status;
  }
  const char* text = argument ? argument : "";
  if (!pFileRxBuffer) {
    LogWrite("ERROR: doUpload - pFileRxBuffer is NULL\n");
    return CommandStatus::NoFile;
  }
  if (!sendFile(text)) {
    LogWrite("ERROR: doUpload - sendFile Failed\n");
    CollectRobotDataFromPort();  // whatever the robot says is kept for the report
    return CommandStatus::Timeout;
  }
  // A rebooting robot says nothing more.
  if (!FindNoCase(text, "reboot")) CollectRobotDataFromPort();
  CloseRobotPort();
  LogWrite("Exiting doUpload with success\n");
  return CommandStatus::OK;
}

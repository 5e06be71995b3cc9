// Whole server runs of the real program: download, lines, report, follow-ups.
#include "url_road_fixture.h"

namespace {

using testing_support::ExpectedReportBody;

const char kScriptUrl[] = "http://updates.kelvo.com/robot/update.txt";
const char kReportUrl[] = "http://updates.kelvo.com/robot/report";
const std::string kLaunch = std::string("kelvo://updates.kelvo.com/robot/update.txt?Reply-To=") + kReportUrl;

class ServerRunTest : public UrlRoadTest {};

TEST_F(ServerRunTest, ScriptIsRunAndItsReportPostedToTheReplyTo) {
  Serve(kScriptUrl, "# update\r\nwait 1\r\nget http://updates.kelvo.com/robot/image.bin\r\n"
                    "getlocal " + programDir_.File("missing.bin") + "\r\nwait 2\r\n");
  server_->SetAnswer("http://updates.kelvo.com/robot/image.bin", maker_server::ScriptReply("IMAGE"));
  ReplyToReports(kReportUrl, {maker_server::EmptyReply()});

  auto run = Launch(kLaunch);
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);

  auto requests = server_->Requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("GET", requests[0].method);
  EXPECT_EQ(kScriptUrl, requests[0].url);
  EXPECT_EQ("POST", requests[2].method);
  EXPECT_EQ(kReportUrl, requests[2].url);
  // The exact body, the one Content-Type header and its spelling.
  const std::string log = "OK\r\nOK\r\nOK\r\nLocalError2\r\n";
  EXPECT_EQ(ExpectedReportBody("K3LV0HGQHP", log, ""), requests[2].body);
  EXPECT_EQ(1, requests[2].HeaderCount("Content-Type"));
  EXPECT_EQ("multipart/form-data, boundary=K3LV0HGQHP", requests[2].Header("Content-Type"));
  // We hand "Content-Type:" and the value to the HTTP library; libcurl sends
  // it as written, WinINet may put its own blank after the colon.
  bool asWritten = requests[2].head.find("\r\nContent-Type:multipart/form-data, boundary=K3LV0HGQHP\r\n") !=
                   std::string::npos;
  bool withBlank = requests[2].head.find("\r\nContent-Type: multipart/form-data, boundary=K3LV0HGQHP\r\n") !=
                   std::string::npos;
  EXPECT_TRUE(OnWindows() ? (asWritten || withBlank) : asWritten) << requests[2].head;

  EXPECT_TRUE(Logged("Script file HTTP URL = [http://updates.kelvo.com/robot/update.txt]"));
  EXPECT_TRUE(Logged("RunMain Reply Url [" + std::string(kReportUrl) + "]"));
  EXPECT_TRUE(Logged("Script file downloaded successfully. Executing commands..."));
  EXPECT_TRUE(Logged("Posting status to Reply URL..."));
  EXPECT_TRUE(Logged("Url:"));
  EXPECT_TRUE(Logged(kReportUrl));
  EXPECT_TRUE(Logged("ContentType:[multipart/form-data, boundary=K3LV0HGQHP]"));
  EXPECT_TRUE(Logged("DataSize:[" + std::to_string(requests[2].body.size()) + "]"));
  EXPECT_TRUE(Logged("httpPost - SendRequest returned status code = 200"));
  EXPECT_FALSE(Logged("Run: [wait 2]"));
  EXPECT_TRUE(EndedWith(0));
}

TEST_F(ServerRunTest, FailedDownloadIsReportedWhenThereIsAReplyTo) {
  server_->SetAnswer(kScriptUrl, maker_server::StatusReply(404));
  auto run = Launch(kLaunch);
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  auto reports = Reports(kReportUrl);
  ASSERT_EQ(1u, reports.size());
  ASSERT_TRUE(reports[0].decoded) << reports[0].problem;
  EXPECT_EQ("HttpError 404\r\n", reports[0].log);
  EXPECT_EQ("", reports[0].robot);
  EXPECT_NE(std::string::npos, reports[0].body.find("name=\"Log\"\r\nContent-Type: text/plain\r\n"
                                                    "Content-Transfer-Encoding: binary\r\n"
                                                    "Content-Length: 15\r\n"));
  EXPECT_TRUE(Logged("ERROR - Failed to download script file. Error=404"));
}

TEST_F(ServerRunTest, FailedDownloadWithoutReplyToShowsTheMessageAndPostsNothing) {
  // Simulation is asked for, but a run that could not even start never starts it.
  testing_support::WriteFileBytes(programDir_.File("ConfigSettings.ini"),
                                  "[RobotSimulationSettings]\r\nSimulateRobotResponses=1\r\n");
  server_->SetAnswer(kScriptUrl, maker_server::StatusReply(404));
  auto run = Launch("kelvo://updates.kelvo.com/robot/update.txt");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_EQ(0, Posts());
  EXPECT_TRUE(Logged("Reply-To Url is NULL hence showing the error in a message box"));
  EXPECT_FALSE(Logged("Robot Simulation is ON in [" + programDir_.File("ConfigSettings.ini") + "]"));
  if (!OnWindows()) {
    // What Windows says for the code, not the text of the errno standing in
    // for it, also on standard error for a terminal. (The desktop's side is
    // tests/desktop/message_box_test.sh.)
    EXPECT_NE(std::string::npos, run.output.find("Kelvo Robot Updater: The system cannot find the file specified.\n"))
        << run.output;
  }
  EXPECT_TRUE(EndedWith(0));
}

TEST_F(ServerRunTest, ScriptWithoutContentLengthIsAFailedDownload) {
  test_server::Answer noLength = maker_server::ScriptReply("wait 1\r\n");
  noLength.length = test_server::Answer::Length::None;
  server_->SetAnswer(kScriptUrl, noLength);
  Launch(kLaunch);
  auto reports = Reports(kReportUrl);
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("HttpError 411\r\n", reports[0].log);
}

TEST_F(ServerRunTest, ReplyScriptRunsAsASecondPassWithItsOwnReport) {
  Serve(kScriptUrl, "wait 1\r\nwait 2\r\n");
  ReplyToReports(kReportUrl, {maker_server::ScriptReply("wait"), maker_server::EmptyReply()});
  auto run = Launch(kLaunch);
  ASSERT_TRUE(run.ended);
  auto reports = Reports(kReportUrl);
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ("OK\r\nOK\r\nOK\r\n", reports[0].log);
  EXPECT_EQ("K3LV0HGQHP", reports[0].boundary);
  // Only the reply's one line, which failed; LastError was not reset between passes.
  EXPECT_EQ("LocalError160\r\n", reports[1].log);
  EXPECT_EQ("K3LV0YAEMU", reports[1].boundary);
}

TEST_F(ServerRunTest, UnknownWordEndsTheRunAfterItsReportWhateverTheReply) {
  Serve(kScriptUrl, "wait 1\r\nfrobnicate\r\nwait 2\r\n");
  ReplyToReports(kReportUrl, {maker_server::ScriptReply("wait 3\r\n")});
  Launch(kLaunch);
  auto reports = Reports(kReportUrl);
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("OK\r\nUnknownCmd\r\n", reports[0].log);
  EXPECT_FALSE(Logged("Run: [wait 3]"));
}

TEST_F(ServerRunTest, ReplyToLineMovesTheNextPost) {
  const std::string other = "http://reports.kelvorobotics.com/elsewhere";
  Serve(kScriptUrl, "reply-to " + other + "\r\nwait 1");
  ReplyToReports(other, {maker_server::EmptyReply()});
  Launch(kLaunch);
  EXPECT_EQ(0u, Reports(kReportUrl).size());
  auto reports = Reports(other);
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("OK\r\nOK\r\n", reports[0].log);
}

TEST_F(ServerRunTest, RefusedReplyToRunsTheScriptAndPostsNothing) {
  Serve(kScriptUrl, "wait 1\r\n");
  auto run = Launch("kelvo://updates.kelvo.com/robot/update.txt?Reply-To=http://evilkelvo.com/r");
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  EXPECT_TRUE(Logged("Run: [wait 1]"));
  EXPECT_TRUE(Logged("ERROR - There is no Reply-To address. Cannot POST result"));
  EXPECT_EQ(0, Posts());
}

TEST_F(ServerRunTest, SimulatedRobotAcrossAFollowUpPass) {
  std::string sep = plat::kPathSeparator;
  testing_support::WriteFileBytes(
      programDir_.File("ConfigSettings.ini"),
      "[RobotSimulationSettings]\r\nSimulateRobotResponses=1\r\n"
      "[CurrentRobotDetails]\r\nHardware=Zarn\r\nSoftwareVersion=3\r\nLDSSoftwareVersion=1\r\n"
      "ModelId=M1\r\n[LatestRobotImageDetails]\r\nUpgradeImageSize_Zarn=4096\r\n");
  std::string responses = programDir_.File("ResponseFiles");
  for (const char* part : {"Zarn", "3_1", "M1"}) {
    responses += sep + part;
  }
  std::filesystem::create_directories(responses);
  testing_support::WriteFileBytes(responses + sep + "getversion.txt", "Software 3.1\r\n\x1a");
  testing_support::WriteFileBytes(responses + sep + "getVersion_AfterUpdate.txt", "Software 3.2\r\n\x1a");

  Serve(kScriptUrl, "send getversion\r\nget http://updates.kelvo.com/robot/image.bin\r\n"
                    "upload code reboot\r\n");
  server_->SetAnswer("http://updates.kelvo.com/robot/image.bin", maker_server::ScriptReply("IMG"));
  ReplyToReports(kReportUrl, {maker_server::ScriptReply("send getversion\r\n"), maker_server::EmptyReply()});

  auto run = Launch(kLaunch);
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(0, run.exitCode);
  auto reports = Reports(kReportUrl);
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ("OK\r\nOK\r\nOK\r\nOK\r\n", reports[0].log);
  EXPECT_EQ("Software 3.1\r\n\x1a\tUpload code reboot Size 4096\r\n", reports[0].robot);
  EXPECT_EQ("OK\r\nOK\r\n", reports[1].log);
  EXPECT_EQ("Software 3.2\r\n\x1a", reports[1].robot);
  EXPECT_TRUE(Logged("***** Robot response simulation is ON *****"));
}

}  // namespace

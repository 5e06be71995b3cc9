#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "script/commands.h"
#include "script/robot_commands.h"
#include "robot/serial_io.h"
#include "sim/simulated_robot.h"
#include "sim_fixture.h"

namespace {

const char kImageSize[] = "[LatestRobotImageDetails]\r\nUpgradeImageSize_Zarn=123456\r\n";

// Simulation on for a Zarn robot, software 3, LDS 1, ConfigId 0.
std::string RobotSettings(const std::string& model = "M1", const std::string& extra = kImageSize) {
  return "[RobotSimulationSettings]\r\nSimulateRobotResponses=1\r\n"
         "[CurrentRobotDetails]\r\nHardware=Zarn\r\nSoftwareVersion=3\r\nLDSSoftwareVersion=1\r\n"
         "ModelId=" + model + "\r\nConfigId=0\r\n" + extra;
}

// Bytes a robot could answer: line ends, an end byte and a zero are all kept.
const char kVersionBeforeBytes[] = "getversion\r\nSoftware 3.1\r\n\x1a\0tail";
const std::string kVersionBefore(kVersionBeforeBytes, sizeof kVersionBeforeBytes - 1);
const char kVersionAfter[] = "getversion\nSoftware 3.2\n";

class SimulatedRobotTest : public SimFixture {
 protected:
  const char* sep = plat::kPathSeparator;

  // Settings of a Zarn 3_1 M1 robot and its response folder with getversion.txt.
  void MakeRobot(const std::string& settings = RobotSettings(),
                 const std::string& model = "M1") {
    WriteSettings(settings);
    responses_ = Join({folder_, "ResponseFiles", "Zarn", "3_1", model});
    std::filesystem::create_directories(responses_);
    WriteResponse("getversion.txt", kVersionBefore);
    WriteResponse("getVersion_AfterUpdate.txt", kVersionAfter);
  }

  void StartRobot() {
    MakeRobot();
    StartSimulation();
    ASSERT_TRUE(SimulationEnabled);
    ClearLog();
  }

  void WriteResponse(const std::string& name, const std::string& bytes) {
    testing_support::WriteFileBytes(responses_ + sep + name, bytes);
  }

  std::string responses_;
};

TEST_F(SimulatedRobotTest, StartUpLogsTheRobotAndChoosesItsFolder) {
  MakeRobot();
  StartSimulation();
  EXPECT_TRUE(SimulationEnabled);
  EXPECT_EQ(std::string(ResponseFilesPath), responses_);
  EXPECT_EQ(std::string(VersionFilePath), responses_ + sep + "getversion.txt");
  EXPECT_EQ(SimulatedImageSize, 123456);
  std::vector<std::string> expected = {
      "Robot Simulation is ON in [" + SettingsPath() + "]",
      "***** Robot response simulation is ON *****",
      "\tLooking for Current Robot Details in [" + SettingsPath() + "]",
      "\t~~~~~~~~~~~~~~~~~~~~~~ Simulating Robot ~~~~~~~~~~~~~~~~~~~~~~",
      "\tHardware [Zarn]",
      "\tSoftware Version [3]",
      "\tLDSSoftware Version [1]",
      "\tModelId [M1]",
      "\tConfigId [0]",
      "\tResponse Files Path Used [" + responses_ + "]",
      "\tUpdate type for [Zarn]: [1]",
      "\tRobot Image Size: [123456]",
      "\t~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~"};
  EXPECT_EQ(Log(), expected);
}

TEST_F(SimulatedRobotTest, IncompleteDetailsDisableSimulation) {
  const char* incomplete[] = {
      "Hardware=Zarn\nSoftwareVersion=0\nLDSSoftwareVersion=1\nModelId=M1\nConfigId=5\n",
      "SoftwareVersion=3\nLDSSoftwareVersion=1\nModelId=M1\n",
      "Hardware=Zarn\nSoftwareVersion=3\nModelId=M1\n",
      "Hardware=Zarn\nSoftwareVersion=3\nLDSSoftwareVersion=1\nModelId=\n",
  };
  int n = 0;
  for (const char* details : incomplete) {
    UseFolder("robot" + std::to_string(++n));
    ClearLog();
    MakeRobot(std::string("[RobotSimulationSettings]\nSimulateRobotResponses=1\n") + kImageSize +
              "[CurrentRobotDetails]\n" + details);
    StartSimulation();
    EXPECT_FALSE(SimulationEnabled) << details;
    EXPECT_STREQ(ResponseFilesPath, "");
    EXPECT_EQ(SimulatedImageSize, 0);
    auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2],
              "\tERROR - Disabling simulation. The information required for Robot response "
              "simulation is NOT provided correctly.");
    EXPECT_EQ(log.back(), "\t~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~");
  }
}

TEST_F(SimulatedRobotTest, ConfigIdZeroIsEnough) {
  // ConfigId missing altogether reads 0, which the start-up accepts.
  MakeRobot("[RobotSimulationSettings]\nSimulateRobotResponses=1\n[CurrentRobotDetails]\n"
            "Hardware=Zarn\nSoftwareVersion=3\nLDSSoftwareVersion=1\nModelId=M1\n");
  StartSimulation();
  EXPECT_TRUE(SimulationEnabled);
}

TEST_F(SimulatedRobotTest, MissingVersionFileTurnsOffButImageSizeIsRead) {
  MakeRobot();
  std::filesystem::remove(responses_ + sep + "getversion.txt");
  StartSimulation();
  EXPECT_FALSE(SimulationEnabled);
  EXPECT_EQ(SimulatedImageSize, 123456);
  auto log = Log();
  auto off = std::find(log.begin(), log.end(),
                       "\tERROR - Simulation is turned OFF. File [getversion.txt] not found in the folder [" +
                           responses_ + "]");
  ASSERT_NE(off, log.end());
  EXPECT_NE(std::find(off, log.end(), "\tRobot Image Size: [123456]"), log.end());
}

TEST_F(SimulatedRobotTest, ResponseFolderTooLongTurnsSimulationOff) {
  std::string model(254, 'm');
  MakeRobot(RobotSettings(model), "short");
  StartSimulation();
  EXPECT_FALSE(SimulationEnabled);
  EXPECT_EQ(std::string(ResponseFilesPath).size(), 259u);
  EXPECT_TRUE(Logged("\tERROR - Simulation is turned OFF. File [getversion.txt] not found in the folder [" +
                     std::string(ResponseFilesPath) + "]"));
}

TEST_F(SimulatedRobotTest, GetversionInAnyCaseAnswersFromTheVersionFile) {
  StartRobot();
  EXPECT_EQ(SimulatedDoSend("GETVERSION"), CommandStatus::OK);
  EXPECT_EQ(SimulatedDoSend("GetVersion\tnow please"), CommandStatus::OK);
  EXPECT_EQ(Robot(), kVersionBefore + kVersionBefore);
  EXPECT_TRUE(Logged("\t\tRobot command: [GETVERSION]"));
  EXPECT_TRUE(Logged("\t\tRobot command: [GetVersion]"));
  EXPECT_TRUE(Logged("\t\tCollectRobotDataFromFile [" + responses_ + sep + "getversion.txt]"));
}

TEST_F(SimulatedRobotTest, UnknownWordsAppendNothing) {
  StartRobot();
  for (const char* argument : {"getversion2", "get version", "", "gettimes"}) {
    ClearLog();
    EXPECT_EQ(SimulatedDoSend(argument), CommandStatus::UnknownCmd) << argument;
    EXPECT_EQ(Log().back(), "\t\tERROR - SimulatedDoSend failed. Unknown command.");
  }
  EXPECT_EQ(BufferUsed(RobotDataBuffer), 0);
}

TEST_F(SimulatedRobotTest, FixedTextAnswers) {
  StartRobot();
  EXPECT_EQ(SimulatedDoSend("gettime now"), CommandStatus::OK);
  EXPECT_EQ(SimulatedDoSend("SetLanguage fr"), CommandStatus::OK);
  EXPECT_EQ(SimulatedDoSend("testmode on"), CommandStatus::OK);
  EXPECT_EQ(Robot(),
            "gettime\r\nFriday 9:34:06\r\n"
            "SetLanguage None\r\nUI Language: None\r\n"
            "testmode on\r\n");
}

TEST_F(SimulatedRobotTest, LongTestmodeIsEchoedWhole) {
  StartRobot();
  std::string argument = "TestMode " + std::string(600, 'a') + "  ";
  EXPECT_EQ(SimulatedDoSend(argument.c_str()), CommandStatus::OK);
  EXPECT_EQ(Robot(), argument + "\r\n");
}

TEST_F(SimulatedRobotTest, FileAnswersComeFromTheirFiles) {
  StartRobot();
  WriteResponse("testlds_cmd_getversion.txt", "lds\r\n");
  WriteResponse("scheduleinfo.txt", "schedule\r\n");
  WriteResponse("getwarrantyinfo.txt", "warranty\r\n");
  WriteResponse("configsettings.txt", "config\r\n");
  for (const char* argument : {"testlds", "getschedule all", "GETWARRANTY", "setconfig 1 2"}) {
    EXPECT_EQ(SimulatedDoSend(argument), CommandStatus::OK) << argument;
  }
  EXPECT_EQ(Robot(), "lds\r\nschedule\r\nwarranty\r\nconfig\r\n");
}

TEST_F(SimulatedRobotTest, UploadSwitchesGetversionToTheAfterUpdateFileOnce) {
  StartRobot();
  const std::string echo = "\tUpload code reboot Size 123456\r\n";
  const std::string after = responses_ + sep + "getVersion_AfterUpdate.txt";
  EXPECT_EQ(SimulatedDoSend("getversion"), CommandStatus::OK);
  EXPECT_EQ(SimulatedDoUpload(), CommandStatus::OK);
  EXPECT_EQ(std::string(VersionFilePath), after);
  EXPECT_TRUE(Logged("\tSimulatedDoUpload - New version file [" + after + "], Robot Image Size [123456]"));
  EXPECT_EQ(SimulatedDoSend("getversion"), CommandStatus::OK);
  EXPECT_EQ(SimulatedDoUpload(), CommandStatus::OK);
  EXPECT_EQ(std::string(VersionFilePath), after);
  EXPECT_EQ(SimulatedDoSend("getversion"), CommandStatus::OK);
  EXPECT_EQ(Robot(), kVersionBefore + echo + kVersionAfter + echo + kVersionAfter);
}

TEST_F(SimulatedRobotTest, UploadWithoutConfiguredSizeEchoesZero) {
  MakeRobot(RobotSettings("M1", ""));
  StartSimulation();
  ASSERT_TRUE(SimulationEnabled);
  EXPECT_EQ(SimulatedDoUpload(), CommandStatus::OK);
  EXPECT_EQ(Robot(), "\tUpload code reboot Size 0\r\n");
}

TEST_F(SimulatedRobotTest, EmptyResponseFileAppendsNothing) {
  StartRobot();
  WriteResponse("scheduleinfo.txt", "");
  EXPECT_EQ(SimulatedDoSend("getschedule"), CommandStatus::OK);
  EXPECT_EQ(BufferUsed(RobotDataBuffer), 0);
  EXPECT_EQ(RobotDataBuffer.capacity, 1024);
}

TEST_F(SimulatedRobotTest, LargeResponseFileIsAppendedWhole) {
  StartRobot();
  std::string big;
  for (int i = 0; i < 3000; ++i) big.push_back(static_cast<char>('0' + i % 79));
  WriteResponse("getwarrantyinfo.txt", big);
  EXPECT_EQ(SimulatedDoSend("getwarranty"), CommandStatus::OK);
  EXPECT_EQ(Robot(), big);
  // Full at 1024 and 2048, 72 bytes free at 3072: grown three times by 1024.
  EXPECT_EQ(RobotDataBuffer.capacity, 4096);
}

TEST_F(SimulatedRobotTest, MissingResponseFileIsLocalErrorWithItsCode) {
  StartRobot();
  EXPECT_EQ(SimulatedDoSend("getschedule"), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 2);
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "\t\tRobot command: [getschedule]",
                       "\t\tCollectRobotDataFromFile [" + responses_ + sep + "scheduleinfo.txt]",
                       "\t\tERROR - CollectRobotDataFromFile failed to open file. Error=2"}));
  EXPECT_EQ(BufferUsed(RobotDataBuffer), 0);
}

TEST_F(SimulatedRobotTest, ResponsePathOf260OrMoreIsRefused) {
  // A program folder deep enough that getversion.txt still fits 259
  // characters but getVersion_AfterUpdate.txt doesn't.
  std::string base = Join({folder_, "ResponseFiles", "Zarn", "3_1", ""});
  std::string model = "M" + std::string(240 - base.size() - 1, 'x');
  MakeRobot(RobotSettings(model), model);
  ASSERT_EQ(responses_.size(), 240u);
  StartSimulation();
  ASSERT_TRUE(SimulationEnabled);
  EXPECT_EQ(SimulatedDoSend("getversion"), CommandStatus::OK);
  EXPECT_EQ(SimulatedDoUpload(), CommandStatus::OK);
  std::string before = Robot();
  ClearLog();
  EXPECT_EQ(SimulatedDoSend("getversion"), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 206);
  EXPECT_EQ(Log().back(), "\t\tERROR - CollectRobotDataFromFile failed to open file. Error=206");
  EXPECT_EQ(Robot(), before);

  LastError = 0;
  EXPECT_EQ(CollectRobotDataFromFile((folder_ + sep + std::string(300, 'f')).c_str()),
            CommandStatus::LocalError);
  EXPECT_EQ(LastError, 206);
}

TEST_F(SimulatedRobotTest, TextGrowsTheBufferAt128FreeBytes) {
  EXPECT_EQ(CollectRobotDataFromBuffer(""), CommandStatus::OK);
  EXPECT_EQ(RobotDataBuffer.capacity, 1024);
  EXPECT_EQ(BufferUsed(RobotDataBuffer), 0);
  EXPECT_TRUE(Logged("\t\tCollectRobotDataFromBuffer []"));

  EXPECT_EQ(CollectRobotDataFromBuffer(std::string(895, 'a').c_str()), CommandStatus::OK);
  EXPECT_EQ(RobotDataBuffer.capacity, 1024);  // 129 free
  EXPECT_EQ(CollectRobotDataFromBuffer("b"), CommandStatus::OK);
  EXPECT_EQ(RobotDataBuffer.capacity, 2048);  // 128 free: grown
  EXPECT_EQ(CollectRobotDataFromBuffer(std::string(2500, 'c').c_str()), CommandStatus::OK);
  EXPECT_EQ(Robot(), std::string(895, 'a') + "b" + std::string(2500, 'c'));
}

TEST_F(SimulatedRobotTest, NoMemoryLeavesTheBufferEmptyWithError8) {
  plat::FailNthAllocation(1);
  EXPECT_EQ(CollectRobotDataFromBuffer("abc"), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 8);
  EXPECT_EQ(RobotDataBuffer.begin, nullptr);
  EXPECT_TRUE(Logged("\t\tERROR - CollectRobotDataFromBuffer failed. Not Enough Memory"));

  StartRobot();
  WriteResponse("scheduleinfo.txt", std::string(3000, 's'));
  ASSERT_EQ(SimulatedDoSend("gettime"), CommandStatus::OK);
  LastError = 0;
  plat::FailNthAllocation(1);  // the first growth while the file is read
  EXPECT_EQ(SimulatedDoSend("getschedule"), CommandStatus::LocalError);
  EXPECT_EQ(LastError, 8);
  EXPECT_EQ(RobotDataBuffer.begin, nullptr);
  EXPECT_EQ(RobotDataBuffer.capacity, 0);
  EXPECT_EQ(Log().back(), "\t\tERROR - CollectRobotDataFromFile failed. Not Enough Memory");
}

TEST_F(SimulatedRobotTest, WaitDoesNothingInSimulation) {
  testing_support::FakeClock clock;
  testing_support::ScopedClock useClock(&clock);
  SimulationEnabled = true;
  LastError = 17;
  EXPECT_EQ(doWait("wait 100000", "100000"), CommandStatus::OK);
  EXPECT_EQ(doWait("wait", nullptr), CommandStatus::OK);
  EXPECT_TRUE(clock.sleeps.empty());
  EXPECT_EQ(LastError, 17);
  EXPECT_EQ(Log(), std::vector<std::string>(2, "\tdoWait simulated response - Does Nothing"));
}

TEST_F(SimulatedRobotTest, SendWithoutArgumentTouchesNeitherSimulatorNorPort) {
  StartRobot();
  EXPECT_EQ(doSend("send", nullptr), CommandStatus::OK);
  EXPECT_EQ(Log(), (std::vector<std::string>{"\tdoSend simulated response",
                                             "\tdoSend - Command argument is NULL ignore the command."}));
  EXPECT_EQ(RobotDataBuffer.begin, nullptr);
  EXPECT_FALSE(RobotPortIsOpen());
}

TEST_F(SimulatedRobotTest, RobotCommandsAreAnsweredBySimulatorInsteadOfThePort) {
  StartRobot();
  EXPECT_EQ(doSend("send getversion", "getversion"), CommandStatus::OK);
  EXPECT_EQ(doSendNoWait("send-nowait reboot", "reboot"), CommandStatus::OK);
  EXPECT_EQ(doSend("send bogus", "bogus"), CommandStatus::UnknownCmd);
  // No image was fetched, yet the simulated upload answers: it looks at nothing.
  EXPECT_EQ(doUpload("upload code reboot", "code reboot"), CommandStatus::OK);
  EXPECT_EQ(doSend("send GetVersion", "GetVersion"), CommandStatus::OK);
  EXPECT_EQ(Robot(), kVersionBefore + "\tUpload code reboot Size 123456\r\n" + kVersionAfter);
  EXPECT_TRUE(Logged("\tdoSendNoWait simulated response - Does Nothing"));
  EXPECT_TRUE(Logged("\tdoUpload simulated response"));
  EXPECT_FALSE(RobotPortIsOpen());
}

}  // namespace

#include <string>

#include "sim/settings.h"
#include "sim_fixture.h"

namespace {

class SettingsTest : public SimFixture {
 protected:
  const char* sep = plat::kPathSeparator;

  std::string Root(const std::string& name = "ResponseFiles") const { return folder_ + sep + name; }

  void WriteRobot(const std::string& details, const std::string& extra = "") {
    WriteSettings("[RobotSimulationSettings]\r\nSimulateRobotResponses=1\r\n" + extra +
                  "[CurrentRobotDetails]\r\n" + details);
  }
};

TEST_F(SettingsTest, NoSettingsFileMeansOffAndNothingLogged) {
  EXPECT_FALSE(IsRobotSimulationOn());
  StartSimulation();
  EXPECT_FALSE(SimulationEnabled);
  EXPECT_TRUE(Log().empty());
}

TEST_F(SettingsTest, OnlyExactlyOneSwitchesSimulationOn) {
  int folder = 0;
  for (const char* value : {"2", "yes", "", "0", "-1"}) {
    UseFolder("value" + std::to_string(++folder));
    WriteSettings(std::string("[RobotSimulationSettings]\nSimulateRobotResponses=") + value + "\n");
    EXPECT_FALSE(IsRobotSimulationOn()) << value;
  }
  EXPECT_TRUE(Log().empty());

  UseFolder("one");
  WriteSettings("[robotsimulationsettings]\nsimulaterobotresponses = 1 \n");
  EXPECT_TRUE(IsRobotSimulationOn());
  EXPECT_EQ(Log(), std::vector<std::string>{"Robot Simulation is ON in [" + SettingsPath() + "]"});
}

TEST_F(SettingsTest, SettingsPathIsInTheProgramFolder) {
  char path[kPathMax];
  ASSERT_TRUE(GetConfigSettingsPath(path));
  EXPECT_EQ(std::string(path), folder_ + sep + "ConfigSettings.ini");
}

TEST_F(SettingsTest, ProgramFolderTooDeepCountsAsNoSettings) {
  // A folder whose settings path needs 260 characters: cut to 259 it would
  // name "...ConfigSettings.in", which is there and asks for simulation.
  std::string deep = folder_ + sep + std::string(241 - folder_.size() - 1, 'd');
  ASSERT_EQ(deep.size(), 241u);
  std::filesystem::create_directories(deep);
  testing_support::WriteFileBytes(deep + sep + "ConfigSettings.in",
                                  "[RobotSimulationSettings]\nSimulateRobotResponses=1\n");
  SetProgramFolderForTesting(deep);

  char path[kPathMax];
  EXPECT_FALSE(GetConfigSettingsPath(path));
  EXPECT_STREQ(path, "");
  EXPECT_FALSE(IsRobotSimulationOn());
  EXPECT_TRUE(Log().empty());
}

TEST_F(SettingsTest, ReadsRobotDetailsAndLogsWhere) {
  WriteRobot("Hardware=Zarn\r\nSoftwareVersion=3\r\nLDSSoftwareVersion=1\r\nModelId=\"M 1\"\r\nConfigId=-3\r\n");
  RobotDetails details = ReadCurrentRobotDetails();
  EXPECT_STREQ(details.Hardware, "Zarn");
  EXPECT_EQ(details.SoftwareVersion, 3);
  EXPECT_EQ(details.LDSSoftwareVersion, 1);
  EXPECT_STREQ(details.ModelId, "M 1");
  EXPECT_EQ(details.ConfigId, -3);
  EXPECT_EQ(Log(), std::vector<std::string>{"\tLooking for Current Robot Details in [" + SettingsPath() + "]"});
}

TEST_F(SettingsTest, MissingDetailsAreEmptyAndLongOnesCut) {
  WriteRobot("Hardware=" + std::string(300, 'h') + "\r\n");
  RobotDetails details = ReadCurrentRobotDetails();
  EXPECT_EQ(std::string(details.Hardware), std::string(254, 'h'));
  EXPECT_EQ(details.SoftwareVersion, 0);
  EXPECT_EQ(details.LDSSoftwareVersion, 0);
  EXPECT_STREQ(details.ModelId, "");
  EXPECT_EQ(details.ConfigId, 0);
}

TEST_F(SettingsTest, ConfigIdAboveZeroAddsAFifthLevel) {
  WriteRobot("");
  RobotDetails details = {"Zarn", 3, 1, "M1", 0};
  std::string fourLevels = Root() + sep + "Zarn" + sep + "3_1" + sep + "M1";
  for (int32_t configId : {0, -3}) {
    details.ConfigId = configId;
    BuildResponseFilesPath(details);
    EXPECT_EQ(std::string(ResponseFilesPath), fourLevels) << configId;
  }
  details.ConfigId = 7;
  BuildResponseFilesPath(details);
  EXPECT_EQ(std::string(ResponseFilesPath), fourLevels + sep + "7");
  EXPECT_TRUE(Logged("\tResponse Files Path Used [" + fourLevels + sep + "7]"));
}

TEST_F(SettingsTest, FolderNameComesFromTheSettingsAndStaysUnderTheProgramFolder) {
  RobotDetails details = {"Molvy", 12, 40, "X", 0};
  WriteRobot("", "SimulatedResponseFilesFolderName = Answers\r\n");
  BuildResponseFilesPath(details);
  EXPECT_EQ(std::string(ResponseFilesPath), Root("Answers") + sep + "Molvy" + sep + "12_40" + sep + "X");

  UseFolder("absolute");
  WriteRobot("", "SimulatedResponseFilesFolderName=/srv/Answers\r\n");
  BuildResponseFilesPath(details);
  EXPECT_EQ(std::string(ResponseFilesPath), Root("/srv/Answers") + sep + "Molvy" + sep + "12_40" + sep + "X");
}

TEST_F(SettingsTest, ImageSizeKeysFollowHardwareAndUpdateType) {
  const std::string sizes =
      "[LatestRobotImageDetails]\nUpgradeImageSize_Zarn=111\nUpgradeImageSize_Molvy=222\n"
      "DowngradeImageSize_Zarn=333\nDowngradeImageSize_Molvy=444\n";
  WriteSettings(sizes);  // no UpdateType: an upgrade
  EXPECT_EQ(ReadRobotImageSize("zarn"), 111);
  EXPECT_EQ(ReadRobotImageSize("MOLVY"), 222);
  EXPECT_EQ(Log(), (std::vector<std::string>{"\tUpdate type for [zarn]: [1]", "\tRobot Image Size: [111]",
                                             "\tUpdate type for [MOLVY]: [1]", "\tRobot Image Size: [222]"}));
  ClearLog();
  EXPECT_EQ(ReadRobotImageSize("Robo"), 222);
  EXPECT_EQ(Log(), (std::vector<std::string>{"\tInvalid Hardware name specified: [Robo]",
                                             "\tUpdate type for [Robo]: [1]", "\tRobot Image Size: [222]"}));

  UseFolder("downgrade");
  WriteSettings("[ActionToSimulate]\nUpdateType=2\n" + sizes);
  EXPECT_EQ(ReadRobotImageSize("Zarn"), 333);
  EXPECT_EQ(ReadRobotImageSize("Molvy"), 444);
  EXPECT_EQ(ReadRobotImageSize(""), 444);
}

TEST_F(SettingsTest, UpdateTypeNeitherUpNorDownGivesZeroWithoutSizeLine) {
  WriteSettings("[ActionToSimulate]\nUpdateType=3\n[LatestRobotImageDetails]\nUpgradeImageSize_Zarn=111\n");
  EXPECT_EQ(ReadRobotImageSize("Zarn"), 0);
  EXPECT_EQ(Log(), std::vector<std::string>{"\tUpdate type for [Zarn]: [3]"});
}

TEST_F(SettingsTest, MissingImageSizeKeyGivesZero) {
  WriteSettings("[LatestRobotImageDetails]\nUpgradeImageSize_Molvy=222\n");
  EXPECT_EQ(ReadRobotImageSize("Zarn"), 0);
  EXPECT_TRUE(Logged("\tRobot Image Size: [0]"));
}

}  // namespace

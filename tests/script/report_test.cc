#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/memory.h"
#include "script/report.h"
#include "script/run_state.h"
#include "support/test_support.h"

namespace {

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseRunResources();
    ReportRandomState = 1;
    LastError = 0;
  }
  void TearDown() override {
    plat::FailNthAllocation(0);
    ReleaseRunResources();
  }

  static void PutRobotBytes(const std::string& bytes) {
    while (BufferFree(RobotDataBuffer) <= static_cast<int32_t>(bytes.size()) + kBufferLowWater) {
      ASSERT_TRUE(GrowBuffer(&RobotDataBuffer));
    }
    std::memcpy(RobotDataBuffer.position, bytes.data(), bytes.size());
    RobotDataBuffer.position += bytes.size();
  }

  static std::string Build(ResultReport* report) {
    EXPECT_TRUE(BuildResultReport(report));
    return std::string(report->body, static_cast<size_t>(report->size));
  }
};

using testing_support::ExpectedReportBody;

TEST_F(ReportTest, EmptyReportIs472BytesWithTheFixedFirstBoundaries) {
  ResultReport first;
  std::string body = Build(&first);
  EXPECT_EQ(472, first.size);
  EXPECT_STREQ("K3LV0HGQHP", first.boundary);
  EXPECT_STREQ("multipart/form-data, boundary=K3LV0HGQHP", first.contentType);
  EXPECT_EQ(ExpectedReportBody("K3LV0HGQHP", "", ""), body);
  EXPECT_EQ('\0', first.body[kReportStorage - 1]);
  ReleaseResultReport(&first);

  ResultReport second;
  Build(&second);
  EXPECT_STREQ("K3LV0YAEMU", second.boundary);
  ReleaseResultReport(&second);
}

TEST_F(ReportTest, OneOkRecordMakes476Bytes) {
  AppendStatusRecord(CommandStatus::OK);
  ResultReport report;
  std::string body = Build(&report);
  EXPECT_EQ(476, report.size);
  EXPECT_EQ(ExpectedReportBody("K3LV0HGQHP", "OK\r\n", ""), body);
  EXPECT_NE(std::string::npos, body.find("name=\"Robot\"\r\nContent-Type: text/plain\r\n"
                                         "Content-Transfer-Encoding: binary\r\nContent-Length: 0\r\n\r\n\r\n--"));
  ReleaseResultReport(&report);
}

TEST_F(ReportTest, LogPartOfOkOkLocalError2Is21Bytes) {
  AppendStatusRecord(CommandStatus::OK);
  AppendStatusRecord(CommandStatus::OK);
  LastError = 2;
  AppendStatusRecord(CommandStatus::LocalError);
  ResultReport report;
  std::string body = Build(&report);
  EXPECT_NE(std::string::npos, body.find("Content-Length: 21\r\n\r\nOK\r\nOK\r\nLocalError2\r\n\r\n"));
  ReleaseResultReport(&report);
}

TEST_F(ReportTest, ZeroBytesAndPercentSignsArePostedVerbatim) {
  std::string robot("50% done\0%s%n\x1a tail", 19);
  PutRobotBytes(robot);
  ResultReport report;
  std::string body = Build(&report);
  EXPECT_EQ(ExpectedReportBody("K3LV0HGQHP", "", robot), body);
  EXPECT_EQ(472 + 1 + 19, report.size);  // one more digit, nineteen more bytes
  ReleaseResultReport(&report);
}

TEST_F(ReportTest, ReportLargerThan64KiBIsKeptWhole) {
  std::string robot(70000, 'r');
  robot[69999] = '\x1a';
  PutRobotBytes(robot);
  ResultReport report;
  std::string body = Build(&report);
  EXPECT_EQ(ExpectedReportBody("K3LV0HGQHP", "", robot), body);
  EXPECT_EQ('\0', report.body[report.size]);
  ReleaseResultReport(&report);
}

TEST_F(ReportTest, NoStorageMeansNoReportButTheBoundaryStillAdvances) {
  plat::FailNthAllocation(1);
  ResultReport report;
  EXPECT_FALSE(BuildResultReport(&report));
  ResultReport next;
  ASSERT_TRUE(BuildResultReport(&next));
  EXPECT_STREQ("K3LV0YAEMU", next.boundary);
  ReleaseResultReport(&next);
}

TEST_F(ReportTest, BoundaryStandingInTheDataIsDrawnAgain) {
  // The robot's answer holds the first boundary, closing line and all: a
  // receiver would end the Robot part there. The next draws make the body's.
  std::string robot = "ok\r\n--K3LV0HGQHP--\r\n";
  PutRobotBytes(robot);
  ResultReport report;
  std::string body = Build(&report);
  EXPECT_STREQ("K3LV0YAEMU", report.boundary);
  EXPECT_STREQ("multipart/form-data, boundary=K3LV0YAEMU", report.contentType);
  EXPECT_EQ(ExpectedReportBody("K3LV0YAEMU", "", robot), body);
  ReleaseResultReport(&report);
}

TEST_F(ReportTest, RandomSequenceStartsAtTheKnownDraws) {
  const int expected[] = {41, 18467, 6334, 26500, 19169};
  for (int value : expected) EXPECT_EQ(value, ReportRandom());
}

}  // namespace

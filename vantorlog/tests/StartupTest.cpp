#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "SysUtils.h"
#include "core/ExceptionLog.h"

namespace {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ExceptionLog::SetGuardedCallReporter([this](const std::string& label, const std::string& what) {
      reports.push_back(label + "|" + what);
    });
  }
  void TearDown() override {
    ExceptionLog::StopLibrary();
    ExceptionLog::SetGuardedCallReporter(nullptr);
    ExceptionLog::SetCurrentOptions(nullptr);
  }
  std::vector<std::string> reports, trail;
};

TEST_F(StartupTest, AFailingStepLeavesTheLibraryInactiveAndTheProgramRunning) {
  auto options = TVantorModuleOptions::Create("");
  ExceptionLog::SetCurrentOptions(options.get());
  const bool started = ExceptionLog::StartLibrary({
      {"VCore", [&] { trail.push_back("core+"); }, [&] { trail.push_back("core-"); }},
      {"VHook", [&] { throw Exception("no hook"); }, [&] { trail.push_back("hook-"); }},
      {"VSockets", [&] { trail.push_back("sockets+"); }, nullptr},
  });
  EXPECT_FALSE(started);
  EXPECT_FALSE(ExceptionLog::IsLibraryActive());
  EXPECT_EQ(options->FLibraryActive, 0);
  EXPECT_EQ(reports, (std::vector<std::string>{"VHook.Init|no hook"}));
  ExceptionLog::StopLibrary();
  EXPECT_EQ(trail, (std::vector<std::string>{"core+", "hook-", "core-"}));
}

TEST_F(StartupTest, StepsRunInOrderAndStopInReverse) {
  EXPECT_TRUE(ExceptionLog::StartLibrary({
      {"A", [&] { trail.push_back("A+"); }, [&] { throw std::runtime_error("late"); }},
      {"B", [&] { trail.push_back("B+"); }, [&] { trail.push_back("B-"); }},
  }));
  EXPECT_TRUE(ExceptionLog::IsLibraryActive());
  ExceptionLog::StopLibrary();
  EXPECT_EQ(trail, (std::vector<std::string>{"A+", "B+", "B-"}));
  EXPECT_EQ(reports, (std::vector<std::string>{"A.Done|late"}));
  EXPECT_TRUE(ExceptionLog::GuardedCall("X", [] {}));
  EXPECT_FALSE(ExceptionLog::GuardedCall("Y", [] { throw 5; }));
  EXPECT_EQ(reports.back(), "Y|unknown exception");
}

}  // namespace

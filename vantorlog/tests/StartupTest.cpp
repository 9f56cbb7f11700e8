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
    reports_ = &reports;
    VCore::SetErrorHook([](const std::string& text) { reports_->push_back(text); });
  }
  void TearDown() override {
    ExceptionLog::StopLibrary();
    VCore::SetErrorHook(nullptr);
    ExceptionLog::SetCurrentOptions(nullptr);
  }
  std::vector<std::string> reports, trail;
  static inline std::vector<std::string>* reports_ = nullptr;
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
  EXPECT_EQ(reports, (std::vector<std::string>{"VHook.Init (Address: 00000000)"}));
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
  EXPECT_EQ(reports, (std::vector<std::string>{"A.Done (Address: 00000000)"}));
  EXPECT_TRUE(VCore::GuardedCall([] {}, "X"));
  EXPECT_FALSE(VCore::GuardedCall([] { throw 5; }, "Y"));
  EXPECT_EQ(reports.back(), "Y (Address: 00000000)");
}

}  // namespace

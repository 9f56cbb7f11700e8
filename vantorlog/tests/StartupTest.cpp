#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
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

void FailingStep() { throw Exception("step failed"); }
void AbortingStep() { throw EAbort("quiet"); }

TEST_F(StartupTest, GuardedCallReportsAPlainStepByItsAddressAndNeverRaises) {
  char expected[16];
  std::snprintf(expected, sizeof expected, "%08X",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&FailingStep)));
  EXPECT_FALSE(VCore::GuardedCall(FailingStep, "VHook.Init"));
  EXPECT_EQ(reports,
            (std::vector<std::string>{std::string("VHook.Init (Address: ") + expected + ")"}));
  // The library's silent abort ends the step unreported.
  EXPECT_FALSE(VCore::GuardedCall(AbortingStep, "VHook.Done"));
  EXPECT_EQ(reports.size(), 1u);
  // Without an error hook nothing reaches the caller either.
  VCore::SetErrorHook(nullptr);
  EXPECT_NO_THROW(EXPECT_FALSE(VCore::GuardedCall(FailingStep, "VCore.Init")));
  EXPECT_EQ(reports.size(), 1u);
}

TEST(LibraryWarningTest, CodesAreNamedAndTheLastWarningIsKept) {
  const std::vector<std::pair<TVantorLogErrorCode, const char*>> names = {
      {TVantorLogErrorCode::eeNone, "eeNone"},
      {TVantorLogErrorCode::eeShowError, "eeShowError"},
      {TVantorLogErrorCode::eeLogError, "eeLogError"},
      {TVantorLogErrorCode::eeEmailMAPIError, "eeEmailMAPIError"},
      {TVantorLogErrorCode::eeEmailShellError, "eeEmailShellError"},
      {TVantorLogErrorCode::eeEmailSMTPError, "eeEmailSMTPError"},
      {TVantorLogErrorCode::eeWebHTTPError, "eeWebHTTPError"},
      {TVantorLogErrorCode::eeWebHTTPSError, "eeWebHTTPSError"},
      {TVantorLogErrorCode::eeWebFTPError, "eeWebFTPError"},
      {TVantorLogErrorCode::eeWebTrakerError, "eeWebTrakerError"},
  };
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(names[i].first), i);
    EXPECT_EQ(ErrorCodeName(names[i].first), names[i].second);
  }
  EXPECT_EQ(ErrorCodeName(static_cast<TVantorLogErrorCode>(12)), "12");
  ReportLibraryWarning(TVantorLogErrorCode::eeWebHTTPError, "no route");
  EXPECT_EQ(LastWarningCode(), TVantorLogErrorCode::eeWebHTTPError);
  EXPECT_EQ(LastWarningMessage(), "no route");
  ClearLibraryWarning();
  EXPECT_EQ(LastWarningCode(), TVantorLogErrorCode::eeNone);
  EXPECT_EQ(LastWarningMessage(), "");
}

}  // namespace

// Placement rules of the window settings file, in one process on a file of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "report/ExceptionLog.h"

namespace {

class WindowSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string(VL_OUTPUT) + "\\settings-" + std::to_string(GetCurrentProcessId()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
    DeleteFileA(path_.c_str());
    ExceptionLog::SetWindowSettingsFile(path_);
  }
  void TearDown() override {
    DeleteFileA(path_.c_str());
    ExceptionLog::SetWindowSettingsFile(ExceptionLog::kWindowSettingsFile);
  }
  void Put(const char* key, const std::string& value) {
    WritePrivateProfileStringA("Coordinates", key, value.c_str(), path_.c_str());
  }
  std::string Get(const char* key) {
    char buffer[64];
    GetPrivateProfileStringA("Coordinates", key, "(none)", buffer, sizeof buffer, path_.c_str());
    return buffer;
  }
  std::string path_;
};

std::string Text(const ExceptionLog::TDialogPlacement& p) {
  return std::to_string(p.left) + " " + std::to_string(p.top) + " " + std::to_string(p.width) +
         " " + std::to_string(p.height) + " " + std::to_string(p.state);
}

TEST_F(WindowSettingsTest, DefaultsAreCentredInAnOffsetWorkArea) {
  // 1280 x 1024 at (100, 50): left 100 + 535 / 2, top 50 + (1024 - 468 - 40) / 2.
  const RECT work{100, 50, 1380, 1074};
  EXPECT_EQ(Text(ExceptionLog::LoadDialogPlacement(work, 40)), "367 308 745 468 1");
  // A work area smaller than the dialog: halves toward zero, on either side.
  const RECT small{0, 0, 640, 480};
  EXPECT_EQ(Text(ExceptionLog::LoadDialogPlacement(small, 0)), "-52 6 745 468 1");
}

TEST_F(WindowSettingsTest, AnyEdgeOutsideTheWorkAreaCentresBoth) {
  const RECT work{100, 50, 1380, 1074};
  const struct {
    int left, top;
    const char* placement;
  } cases[] = {
      {200, 60, "200 60 745 468 1"},    // inside
      {100, 50, "100 50 745 468 1"},    // on the top-left corner
      {635, 606, "635 606 745 468 1"},  // on the bottom-right corner
      {99, 60, "367 328 745 468 1"},    // left of the area
      {200, 49, "367 328 745 468 1"},   // above it
      {636, 60, "367 328 745 468 1"},   // right edge past it
      {200, 607, "367 328 745 468 1"},  // bottom edge past it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.placement);
    Put("Left", std::to_string(c.left));
    Put("Top", std::to_string(c.top));
    EXPECT_EQ(Text(ExceptionLog::LoadDialogPlacement(work, 40)), c.placement);
  }
}

TEST_F(WindowSettingsTest, SavingKeepsTheNormalRectangleWhenNotNormal) {
  ExceptionLog::SaveDialogPlacement({10, 20, 0, 0, 3, 40});  // never sized: nothing
  EXPECT_EQ(GetFileAttributesA(path_.c_str()), INVALID_FILE_ATTRIBUTES);
  ExceptionLog::SaveDialogPlacement({10, 20, 700, 500, 1, 40});
  ExceptionLog::SaveDialogPlacement({0, 0, 1280, 1024, 3, 40});
  EXPECT_EQ(Get("Width") + " " + Get("Height") + " " + Get("Left") + " " + Get("Top") + " " +
                Get("WindowsState"),
            "700 460 10 20 3");
  ExceptionLog::SaveDialogPlacement({30, 40, 720, 520, 6, 40});  // minimised: same
  EXPECT_EQ(Get("Width") + " " + Get("WindowsState"), "700 6");
}

TEST_F(WindowSettingsTest, ColumnKeysFollowTheColumnsShown) {
  using ExceptionLog::TListPage;
  EXPECT_EQ(ExceptionLog::ColumnCount(TListPage::CallStack), 6);
  EXPECT_EQ(ExceptionLog::ColumnCount(TListPage::Modules), 7);
  EXPECT_EQ(ExceptionLog::ColumnCount(TListPage::Processes), 8);
  EXPECT_EQ(ExceptionLog::ColumnKey(TListPage::CallStack, 5), "Col5");
  EXPECT_EQ(ExceptionLog::ColumnKey(TListPage::Modules, 4), "ColMod4");
  EXPECT_EQ(ExceptionLog::ColumnKey(TListPage::Modules, 5), "ColMod6");  // Modified
  EXPECT_EQ(ExceptionLog::ColumnKey(TListPage::Modules, 6), "ColMod5");  // Path
  EXPECT_EQ(ExceptionLog::ColumnKey(TListPage::Processes, 7), "ColPro7");
  EXPECT_EQ(ExceptionLog::ColumnKey(TListPage::Processes, 8), "");
  EXPECT_EQ(ExceptionLog::ColumnKey(TListPage::CallStack, -1), "");
  // Resizing Path stores ColMod5; a column that does not exist writes nothing.
  ExceptionLog::SaveColumnWidth(TListPage::Modules, 6, 640);
  ExceptionLog::SaveColumnWidth(TListPage::Modules, 7, 1);
  EXPECT_EQ(Get("ColMod5"), "640");
  EXPECT_EQ(Get("ColMod6"), "(none)");
  EXPECT_EQ(Get("ColMod7"), "(none)");
  EXPECT_EQ(ExceptionLog::ReadColumnWidth(TListPage::Modules, 6), 640);
  EXPECT_EQ(ExceptionLog::ReadColumnWidth(TListPage::Modules, 5), 80);
  EXPECT_EQ(ExceptionLog::ReadColumnWidth(TListPage::Modules, 7), 0);
}

TEST_F(WindowSettingsTest, IntegersOnlyFromDecimalText) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"12", 12},
               {"-12", -12},
               {"+7", 7},
               {"  33  ", 33},
               {"2147483647", 2147483647},
               {"-2147483648", -2147483647 - 1},
               {"2147483648", 5},
               {"12x", 5},
               {"0x10", 5},
               {"$10", 5},
               {"", 5},
               {"-", 5},
               {"1 2", 5},
               {"1.5", 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Put("Value", c.text);
    EXPECT_EQ(ExceptionLog::ReadSettingsInt("Coordinates", "Value", 5), c.value);
  }
}

TEST_F(WindowSettingsTest, EmailRoundTrip) {
  EXPECT_EQ(ExceptionLog::ReadUserEmail(), "");
  ExceptionLog::SaveUserEmail("first@example.org");
  ExceptionLog::SaveUserEmail("second@example.org");
  EXPECT_EQ(ExceptionLog::ReadUserEmail(), "second@example.org");
  char buffer[64];
  GetPrivateProfileStringA("User", "Email", "", buffer, sizeof buffer, path_.c_str());
  EXPECT_STREQ(buffer, "second@example.org");
}

}  // namespace

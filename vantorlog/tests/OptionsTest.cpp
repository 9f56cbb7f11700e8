#include <gtest/gtest.h>

#include <memory>

#include "SysUtils.h"
#include "VOptions.h"
#include "VSystem.h"
#include "VTextUtils.h"

namespace {

// Counts announcements; the options of the running program announce, others never do.
class TCountingOptions : public TVantorModuleOptions {
 public:
  void NotifyChanged() override { ++notified; }
  int notified = 0;

 protected:
  using TVantorModuleOptions::TVantorModuleOptions;
  friend class TVantorModuleOptions;
};

std::unique_ptr<TCountingOptions> OwnOptions() {
  return TVantorModuleOptions::Create<TCountingOptions>(VCore::ProgramFileName());
}

TEST(OptionsTest, DefaultsOfEveryKindOfField) {
  auto o = TVantorModuleOptions::Create("");
  EXPECT_EQ(o->FModuleInstance, 0u);
  EXPECT_EQ(o->FSmtpPortNo, 25);
  EXPECT_EQ(o->FProxyPortNo, 8080);
  EXPECT_EQ(o->FBuildFlags, 1);
  EXPECT_EQ(o->FTerminateAction, 2);
  EXPECT_EQ(o->FHangCheck, 0);
  EXPECT_EQ(o->FHangTimeoutSecs, 60);
  EXPECT_EQ(o->FDialogKind, 2);
  EXPECT_EQ(o->FTextsLanguage, "English");
  EXPECT_EQ(o->FHandleExceptions, 1);
  EXPECT_EQ(o->FWriteLogFile, 1);
  EXPECT_EQ(o->FLogFlags, 48);
  EXPECT_EQ(o->FSendFlags, 81);
  EXPECT_EQ(o->FMaxSavedReports, 32);
  EXPECT_EQ(o->FTerminateAfterCount, 3);
  EXPECT_EQ(o->FDialogOptions, 399);
  EXPECT_EQ(o->FCrashAction, 2);
  EXPECT_EQ(o->FCrashCount, 10);
  EXPECT_EQ(o->FCrashMinutes, 1);
  EXPECT_EQ(o->FStackFlags, 15);
  EXPECT_EQ(o->FBehaviourFlags, 88);
  EXPECT_EQ(o->FLeakFlags, 30);
  EXPECT_EQ(o->FLibraryActive, 1);
  EXPECT_FALSE(o->FSmtpSender.empty());
  EXPECT_EQ(o->FFilters->Count(), 0);
  for (int k = 0; k < 48; ++k) EXPECT_TRUE(o->ShowFlag(k)) << k;
  EXPECT_EQ(o->FTexts[17], "&OK");
  EXPECT_EQ(o->FHtmlTemplate.substr(0, 8), "<html>\r\n");
  EXPECT_NE(o->FHtmlTemplate.find("            <%HTML_TAG%>\r\n"), std::string::npos);
  EXPECT_EQ(o->FHtmlTemplate.substr(o->FHtmlTemplate.size() - 9), "\r\n</html>");
}

TEST(OptionsTest, FreshCurrentModuleObjectAnnouncesOnce) {
  auto own = OwnOptions();
  EXPECT_NE(own->FModuleInstance, 0u);
  EXPECT_EQ(own->notified, 1);
  EXPECT_EQ(own->FUpdateCount, 0);
  own->SetSmtpServer("mail");
  own->SetHangCheck(true);
  EXPECT_EQ(own->notified, 3);
  own->LockNotify();
  own->SetWebMode(3);
  own->StoreText(3, "x");
  EXPECT_EQ(own->notified, 3);
  own->UnlockNotify();
  own->TriggerChanged();
  EXPECT_EQ(own->notified, 4);
  own->LoadDefaults();
  EXPECT_EQ(own->notified, 5);

  auto other = TVantorModuleOptions::Create<TCountingOptions>("");
  other->SetSmtpServer("mail");
  other->LoadDefaults();
  EXPECT_EQ(other->notified, 0);
}

TEST(OptionsTest, MaxSavedReportsNeverBelowOne) {
  auto o = TVantorModuleOptions::Create("");
  for (int value : {0, -5}) {
    o->SetMaxSavedReports(value);
    EXPECT_EQ(o->FMaxSavedReports, 1);
  }
  o->SetMaxSavedReports(7);
  EXPECT_EQ(o->FMaxSavedReports, 7);
}

TEST(OptionsTest, CustomTextExpandsEnvironment) {
  auto o = TVantorModuleOptions::Create("");
  ASSERT_TRUE(VCore::SetEnvVar("VL_TEST_DIR", "C:\\Temp"));
  o->StoreText(0, "%VL_TEST_DIR%\\name");
  o->StoreText(1, "100 %");
  o->StoreText(2, "%VL_TEST_SURELY_UNSET%");
  EXPECT_EQ(o->GetCustomText(0), "C:\\Temp\\name");
  EXPECT_EQ(o->GetCustomText(1), "100 %");
  EXPECT_EQ(o->GetCustomText(2), "");
  EXPECT_EQ(o->GetCustomText(158), "");
  EXPECT_EQ(o->FTexts[0], "%VL_TEST_DIR%\\name");
}

TEST(OptionsTest, CopySettings) {
  auto source = TVantorModuleOptions::Create("source.dll");
  source->SetSmtpServer("smtp.example");
  source->SetHangCheck(true);
  source->SetLibraryActive(false);
  source->SetPreBuildCommand("make");
  source->SetReproduceSteps("click");
  source->FLeakFlags = 3;
  source->StoreText(5, "Allgemein");
  source->SetTextsLanguage("German");
  source->SetDialogShowFlags({1, 2, 3, 4, 5, 6});
  TVantorExceptionFilter f;
  f.ExceptionClassName = "EAbort";
  f.Handling = 1;
  source->FFilters->Add(f);

  auto own = OwnOptions();
  const int before = own->notified;
  own->CopySettings(source.get());
  EXPECT_EQ(own->notified, before + 1);  // one announcement for the whole copy
  EXPECT_EQ(own->FSmtpServer, "smtp.example");
  EXPECT_EQ(own->FHangCheck, 1);
  EXPECT_EQ(own->FLibraryActive, 1);  // not copied
  EXPECT_EQ(own->FModuleFileName, VCore::ProgramFileName());
  EXPECT_EQ(own->FPreBuildCommand, "make");
  EXPECT_EQ(own->FReproduceSteps, "click");
  EXPECT_EQ(own->FLeakFlags, 3);
  EXPECT_EQ(own->FTexts[5], "Allgemein");
  EXPECT_EQ(own->FTextsLanguage, "German");
  EXPECT_EQ(own->FDialogShowFlags, (TDialogShowFlags{1, 2, 3, 4, 5, 6}));
  ASSERT_EQ(own->FFilters->Count(), 1);
  EXPECT_EQ(*own->FFilters->GetFilter(0), f);
  EXPECT_NE(own->FFilters->GetFilter(0), source->FFilters->GetFilter(0));  // a deep copy

  const int now = own->notified;
  own->CopySettings(own.get());  // onto itself: nothing, not even an announcement
  EXPECT_EQ(own->notified, now);
  EXPECT_EQ(own->FFilters->Count(), 1);

  try {
    own->CopySettings(nullptr);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Impossible to assign nil as TVantorModuleOptions.");
  }
}

TEST(FiltersTest, CopyOntoOwnListKeepsIt) {
  auto o = TVantorModuleOptions::Create("");
  TVantorExceptionFilter a, b;
  a.ExceptionClassName = "A";
  b.ExceptionClassName = "B";
  b.AfterAction = 2;
  o->FFilters->Add(a);
  o->FFilters->Add(b);
  o->FFilters->CopyFilters(*o->FFilters);
  ASSERT_EQ(o->FFilters->Count(), 2);
  EXPECT_EQ(*o->FFilters->GetFilter(1), b);

  auto other = TVantorModuleOptions::Create("");
  other->FFilters->Add(b);
  other->FFilters->CopyFilters(*o->FFilters);
  ASSERT_EQ(other->FFilters->Count(), 2);
  EXPECT_EQ(*other->FFilters->GetFilter(0), a);
  EXPECT_EQ(*other->FFilters->GetFilter(1), b);
  other->FFilters->GetFilter(0)->MessageText = "changed";
  EXPECT_EQ(o->FFilters->GetFilter(0)->MessageText, "");  // the source list is untouched

  o->FFilters->Delete(0);
  EXPECT_EQ(o->FFilters->GetFilter(0)->ExceptionClassName, "B");
  EXPECT_EQ(o->FFilters->GetFilter(5), nullptr);
  o->FFilters->ClearFilters();
  EXPECT_EQ(o->FFilters->Count(), 0);
}

TEST(FiltersTest, ChangesAnnounceThroughTheOwner) {
  auto own = OwnOptions();
  const int before = own->notified;
  own->FFilters->Add(TVantorExceptionFilter{});
  own->FFilters->Delete(0);
  EXPECT_EQ(own->notified, before + 2);
}

TEST(OptionsTest, LogFileName) {
  auto o = TVantorModuleOptions::Create("");
  o->SetModuleFileName("C:\\App\\prog.vshost.exe");
#ifndef _WIN32  // the Windows build also places the file (tested under Wine)
  o->SetLogFolder("D:\\Logs\\All.VLF");
  EXPECT_EQ(o->GetLogFileName(), "D:\\Logs\\All.VLF");
  o->SetLogFolder("");
  o->SetLogFlags(0);
  EXPECT_EQ(o->GetLogFileName(), "C:\\App\\prog.vlf");
  o->SetLogFlags(0x08);
  EXPECT_EQ(o->GetLogFileName(),
            "C:\\App\\prog_" + VCore::SanitizeComputerName(VCore::ComputerNameText()) + ".vlf");
#endif
}

}  // namespace

// The options writer of the debug-data block: the defaults, the settings named on its command
// line, and a refusal of settings it does not know.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "VOptions.h"

namespace {

int Write(const std::string& out, const std::string& settings) {
  return std::system((std::string(VLDATA_OPTIONS) + " " + out + " " + settings).c_str());
}

TEST(VLDataOptionsTest, SettingsOnTheCommandLineChangeTheDefaults) {
  const std::string out = std::string(VL_OUTPUT) + "/options_set.bin";
  ASSERT_EQ(Write(out, "DialogKind=0 BehaviourFlags=0x158 TerminateAction=1 WriteLogFile=0"), 0);
  auto read = TVantorModuleOptions::Create("");
  read->ReadFromFile(out);
  auto defaults = TVantorModuleOptions::Create("");
  EXPECT_NE(defaults->FDialogKind, 0);
  EXPECT_EQ(read->FDialogKind, 0);
  EXPECT_EQ(read->FBehaviourFlags, 0x158);
  EXPECT_EQ(read->FTerminateAction, 1);
  EXPECT_EQ(read->FWriteLogFile, 0);
  // The rest stays as it was.
  EXPECT_EQ(read->FSendFlags, defaults->FSendFlags);
  EXPECT_EQ(read->FStackFlags, defaults->FStackFlags);
  EXPECT_EQ(read->GetCustomText(91), defaults->GetCustomText(91));

  const std::string plain = std::string(VL_OUTPUT) + "/options_plain.bin";
  ASSERT_EQ(Write(plain, ""), 0);
  auto plain_read = TVantorModuleOptions::Create("");
  plain_read->ReadFromFile(plain);
  EXPECT_EQ(plain_read->FDialogKind, defaults->FDialogKind);
  EXPECT_EQ(plain_read->FBehaviourFlags, defaults->FBehaviourFlags);
}

TEST(VLDataOptionsTest, UnknownOrMalformedSettingsAreRefused) {
  const std::string out = std::string(VL_OUTPUT) + "/options_bad.bin";
  for (const char* bad : {"DialogKnd=0", "DialogKind", "DialogKind=-1"})
    EXPECT_NE(Write(out, bad), 0) << bad;
}

}  // namespace

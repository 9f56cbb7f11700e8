// The dialogs' text work: the e-mail check and its report item, the source-jump message, the
// tab-to-page choice, the check-box rows' height and the page rich text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "VDialogText.h"

namespace {

using namespace ExceptionLog;

TEST(DialogText, EmailNeedsAnAtSignAndADotInAnyOrder) {
  struct Case {
    const char* text;
    bool valid;
  };
  for (const Case& c :
       {Case{"x@y.z", true}, Case{"a@b", false}, Case{"a.b", false}, Case{"first.last@host", true},
        Case{"x.y@", true}, Case{".@", true}, Case{"", false}, Case{"plain", false}}) {
    EXPECT_EQ(IsValidEmail(c.text), c.valid) << c.text;
  }
}

TEST(DialogText, EmailItemOfTheUserGroupIsReplaced) {
  const std::string report =
      "User:\r\n-----\r\n  3.1 ID         : anna\r\n  3.2 Name       : Anna\r\n"
      "  3.3 Email      : \r\n  3.4 Company    : KESTA\r\n";
  EXPECT_EQ(ReplaceEmailItem(report, "x@y.z"),
            "User:\r\n-----\r\n  3.1 ID         : anna\r\n  3.2 Name       : Anna\r\n"
            "  3.3 Email      : x@y.z\r\n  3.4 Company    : KESTA\r\n");
  // An address typed before is replaced, not appended to.
  EXPECT_EQ(ReplaceEmailItem(ReplaceEmailItem(report, "old@a.b"), "new@c.d"),
            ReplaceEmailItem(report, "new@c.d"));
  // Item 1.3.3 of another group, or no item at all: nothing changes.
  const std::string other = "Application:\r\n  1.3 Version    : 3.3\r\n";
  EXPECT_EQ(ReplaceEmailItem(other, "x@y.z"), other);
  // The last line of a text without a line end.
  EXPECT_EQ(ReplaceEmailItem("\r\n  3.3 Email: a@b.c", "x@y.z"), "\r\n  3.3 Email: x@y.z");
}

TEST(DialogText, LineTextSplitsIntoLineAndOffset) {
  struct Case {
    const char* text;
    int line, offset;
  };
  for (const Case& c : {Case{"123[4]", 123, 4}, Case{"77", 77, -1}, Case{"", 0, -1},
                        Case{"9[]", 9, 0}, Case{"15 [20]", 15, 20}}) {
    const TLineAndOffset got = SplitLineText(c.text);
    EXPECT_EQ(got.line, c.line) << c.text;
    EXPECT_EQ(got.offset, c.offset) << c.text;
  }
}

std::uint32_t Le(const TSourceMessage& m, std::size_t at) {
  return m[at] | m[at + 1] << 8 | m[at + 2] << 16 | static_cast<std::uint32_t>(m[at + 3]) << 24;
}

TEST(DialogText, SourceMessageFieldsAndLongNames) {
  const TSourceMessage m =
      SourceLocationMessage("Unit1", "TForm1", "Button1Click", "42[7]", 0x11223344, 0xAABBCCDD);
  ASSERT_EQ(m.size(), 376u);
  for (int i = 0; i < 90; ++i) EXPECT_EQ(m[i], 0) << i;
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[90]), "Unit1");
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[180]), "TForm1");
  EXPECT_STREQ(reinterpret_cast<const char*>(&m[270]), "Button1Click");
  EXPECT_EQ(Le(m, 360), 42u);
  EXPECT_EQ(Le(m, 364), 7u);
  EXPECT_EQ(Le(m, 368), 0x11223344u);
  EXPECT_EQ(Le(m, 372), 0xAABBCCDDu);
  EXPECT_EQ(Le(SourceLocationMessage("U", "C", "P", "5", 0, 0), 364), 0xFFFFFFFFu);

  // Names of up to 255 characters: each field keeps 89 and its NUL, its neighbour is intact.
  const std::string unit(255, 'u'), cls(255, 'c'), proc(255, 'p');
  const TSourceMessage cut = SourceLocationMessage(unit, cls, proc, "1[2]", 3, 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cut[90])), std::string(89, 'u'));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cut[180])), std::string(89, 'c'));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&cut[270])), std::string(89, 'p'));
  EXPECT_EQ(Le(cut, 360), 1u);
  EXPECT_EQ(Le(cut, 364), 2u);
  EXPECT_EQ(SourceMailslotName(1234), "\\\\.\\mailslot\\VantorLog1234");
}

TEST(DialogText, ExtraHeightOfTheCheckBoxRows) {
  struct Case {
    bool send, screenshot, copy, link;
    int height;
  };
  for (const Case& c : {Case{true, true, false, false, 34}, Case{false, false, true, true, 34},
                        Case{true, false, false, false, 20}, Case{false, false, true, false, 20},
                        Case{false, false, false, true, 20}, Case{true, false, false, true, 20},
                        Case{false, false, false, false, 0}}) {
    EXPECT_EQ(DialogExtraHeight(c.send, c.screenshot, c.copy, c.link), c.height)
        << c.send << c.screenshot << c.copy << c.link;
  }
}

TEST(DialogText, TabsAndPagesWhenGroupsAreOff) {
  // Tabs present: general, call stack, [modules, processes], [assembler, CPU].
  EXPECT_EQ(TabPageIndex(2, false, true), 4);
  EXPECT_EQ(TabPageIndex(3, false, true), 5);
  EXPECT_EQ(TabPageIndex(2, true, false), 2);
  EXPECT_EQ(TabPageIndex(-5, true, true), 5);
  EXPECT_EQ(TabPageIndex(1, false, false), 1);
  EXPECT_EQ(FirstTabIndex(4, true, false), 0);
  EXPECT_EQ(FirstTabIndex(3, false, true), 0);
  EXPECT_EQ(FirstTabIndex(4, false, true), 4);
  EXPECT_EQ(FirstTabIndex(1, false, false), 1);
}

TEST(DialogText, ModuleImagesAndDetailsCaption) {
  EXPECT_EQ(ModuleImageIndex("C:\\P\\rtl120.bpl"), 1);
  EXPECT_EQ(ModuleImageIndex("designide.DPL"), 1);
  EXPECT_EQ(ModuleImageIndex("Quarrion.Exe"), 2);
  EXPECT_EQ(ModuleImageIndex("kernel32.dll"), 0);
  EXPECT_EQ(ModuleImageIndex("noextension"), 0);
  EXPECT_EQ(DetailsButtonText("&Details", true), "<< &Details");
  EXPECT_EQ(DetailsButtonText("&Details", false), "&Details >>");
}

TEST(DialogText, AssemblerAndCpuRichText) {
  const std::string assembler =
      "Assembler Information:\r\n----------------------\r\nUnit1.Button1Click (Line=42 - "
      "Offset=7)\r\n"
      "00401009  mov     eax, [eax]      ; <-- EXCEPTION\r\n0040100B  ret     ; {x}\r\n";
  const std::string rtf = AssemblerPageRtf(assembler, 0, "Lucida Console", 8);
  EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi", 0), 0u);
  EXPECT_NE(rtf.find("\\f0\\fs16\r\n"), std::string::npos);
  EXPECT_NE(rtf.find("\\cf4\\b 00401009  mov     eax, [eax]      ; <-- EXCEPTION\\b0\\par"),
            std::string::npos);
  EXPECT_NE(rtf.find("\\cf5 0040100B\\cf2   ret     \\b0\\cf7 ; \\{x\\}\\par"), std::string::npos);
  EXPECT_NE(rtf.find("\\cf6 Unit1.Button1Click (Line=42 - Offset=7)\\par"), std::string::npos);
  EXPECT_EQ(rtf.back(), '}');

  const std::string cpu =
      "Registers:\r\n-----------------------------\r\n"
      "EAX: 00000001   EDI: 00000002\r\n";
  const std::string c = CpuPageRtf(cpu, 204, "Courier New", 10, 1800);
  EXPECT_NE(c.find("\\fcharset204 Courier New;"), std::string::npos);
  EXPECT_NE(c.find("\\pard\\tx1800\\tx3600"), std::string::npos);
  EXPECT_NE(c.find("\\cf3\\b Registers:\\b0\\par"), std::string::npos);
  EXPECT_NE(c.find("\\cf3 -----------------------------\\par"), std::string::npos);
  EXPECT_NE(c.find("\\cf2 EAX: 00000001\\tab EDI: 00000002\\par"), std::string::npos);
}

}  // namespace

namespace {

using namespace ExceptionLog;

// Six pixels a character, as a fixed-pitch font measures.
int Fixed(const std::string& text) { return static_cast<int>(text.size()) * 6; }

TEST(DialogLayout, WrappedTextHeight) {
  struct Case {
    const char* name;
    std::string text;
    int width, height;
  };
  const Case cases[] = {
      {"empty text is one line", "", 60, 13},
      {"empty lines count", "a\r\n\r\nb", 60, 39},
      // Words of 30 pixels in 54: two share no line.
      {"words wrap", "aaaa bbbb cccc dddd", 60, 39},
      {"words that fit share a line", "aaaa dddd", 66, 13},
      // 180 pixels at 60: (180 - 1) / 60 + 1 more lines.
      {"a long word", std::string(30, 'w'), 60, 13 + 39},
      {"separators stay with their word", "a-b-c-d-e-f-g-h-i-j", 30, 5 * 13},
  };
  for (const Case& c : cases)
    EXPECT_EQ(WrappedTextHeight(c.text, c.width, 13, Fixed), c.height) << c.name;
}

TEST(DialogLayout, CompactSizeWrapsAtTheLimitAndKeepsRoomForTheCheckBoxRows) {
  // Frame 4, caption 18, check-box rows 34: the limit is 640 - 66 = 574.
  const TCompactSize small =
      CompactDialogSize("abc", std::string(40, 'x'), 13, 4, 4, 18, 34, Fixed);
  EXPECT_EQ(small.width, 340);
  EXPECT_EQ(small.height, 0 + 8 + 18 + 86 + 34);
  const TCompactSize wide = CompactDialogSize(std::string(200, 'm'), "x", 13, 4, 4, 18, 34, Fixed);
  EXPECT_EQ(wide.width, 640);
  // 1216 pixels: two more lines; three lines less 39.
  EXPECT_EQ(wide.height, 13 + 8 + 18 + 86 + 34);
  const TCompactSize lines =
      CompactDialogSize("one\r\ntwo\r\n\r\nfour", "x", 13, 4, 4, 18, 0, Fixed);
  EXPECT_EQ(lines.height, (5 * 13 - 39) + 8 + 18 + 86);
}

TEST(DialogLayout, StoredPlacementOpensNormalWithTheCheckBoxRows) {
  struct Case {
    int state;
    bool maximised;
  };
  for (const Case& c : {Case{1, false}, Case{6, false}, Case{3, true}}) {
    const TPlacementToApply p = PlacementToApply(10, 20, 600, 400, c.state, 20);
    EXPECT_EQ(p.maximised, c.maximised) << c.state;
    EXPECT_EQ(p.left, 10);
    EXPECT_EQ(p.top, 20);
    EXPECT_EQ(p.width, 600);
    EXPECT_EQ(p.height, 420) << "the stored height leaves out the rows";
  }
}

TEST(DialogLayout, AnInvalidAddressKeepsTheShortDialogOpenUnlessCancelled) {
  EXPECT_TRUE(EmailKeepsDialogOpen("a@b", false));
  EXPECT_FALSE(EmailKeepsDialogOpen("a@b", true));
  EXPECT_FALSE(EmailKeepsDialogOpen("", false));
  EXPECT_FALSE(EmailKeepsDialogOpen("x@y.z", false));
}

}  // namespace

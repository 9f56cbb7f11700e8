// The HTML readers and form builders of the bug-tracker senders, over pages written by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VBugTrackers.h"

using namespace VBugTrackers;

namespace {

struct ReaderCase {
  const char* what;
  const char* body;
  const char* name;
  bool found;
  const char* value;
};

TEST(BugTrackerReaders, InputValue) {
  const ReaderCase cases[] = {
      {"plain", R"(<form><input type="hidden" name="m_id" value="17"></form>)", "m_id", true, "17"},
      {"name compared without case", R"(<INPUT TYPE=hidden NAME="M_ID" VALUE='17'>)", "m_id", true,
       "17"},
      {"blanks around =", R"(<input name = "tok"   value = "a b" />)", "tok", true, "a b"},
      {"unquoted value before />", R"(<input name=tok value=abc/>)", "tok", true, "abc"},
      {"first with a value wins", R"(<input name="x" value=""><input name="x" value="2">)", "x",
       true, "2"},
      {"only empty values", R"(<input name="x" value=""><input name="x">)", "x", false, ""},
      {"> inside a quoted value", R"(<input title="a>b" name="x" value="c>d">)", "x", true, "c>d"},
      {"username= is not name=", R"(<input username="x" value="1"><input name="x" value="2">)", "x",
       true, "2"},
      {"references decoded",
       R"(<input name="t" value="[v1 - 2]: A &amp; B &lt;C&gt; &#65;&#x42; &quot;q&quot;">)", "t",
       true, "[v1 - 2]: A & B <C> AB \"q\""},
      {"absent", R"(<input name="other" value="1">)", "x", false, ""},
      {"unclosed tag", R"(<input name="x" value="1")", "x", false, ""},
  };
  for (const ReaderCase& c : cases) {
    std::string value;
    EXPECT_EQ(InputValue(c.body, c.name, &value), c.found) << c.what;
    if (c.found) {
      EXPECT_EQ(value, c.value) << c.what;
    }
  }
}

const char kSelects[] =
    "<select name=\"project_id\" onchange=\"go('x')\">"
    "<option value=\"0\">All Projects</option>"
    "<option value=\"3\" selected=\"selected\">Phone &amp; Co</option>"
    "<option value=\"5\">&raquo; Quarrion</option>"
    "<option value=\"6\">O'Brien's tools</option>"
    "<option value=\"7\">O&#39;Neil &amp; Sons</option>"
    "</select>"
    "<select name=\"status\"><option value=\"10\">new</option>"
    "<option value=\"80\" SELECTED>resolved</option></select>"
    "<select name=\"none\"><option value=\"1\">a</option></select>";

TEST(BugTrackerReaders, SelectsAndOptions) {
  std::string v;
  ASSERT_TRUE(SelectedValue(kSelects, "project_id", &v));
  EXPECT_EQ(v, "3");
  ASSERT_TRUE(SelectedValue(kSelects, "STATUS", &v));
  EXPECT_EQ(v, "80");
  EXPECT_FALSE(SelectedValue(kSelects, "none", &v));
  EXPECT_FALSE(SelectedValue(kSelects, "missing", &v));

  const struct {
    const char* text;
    bool found;
    const char* value;
  } by_text[] = {
      {"All Projects", true, "0"},
      {"Quarrion", true, "5"},    // the entity before it is dropped
      {"Phone", false, ""},       // "&amp;" is dropped up to the blank: " Co" stays
      {"Phone & Co", true, "3"},  // the decoded text matches as well
      {"O'Neil & Sons", true, "7"},
      {"O'Brien's tools", true, "6"},  // apostrophes in the text do not hide the end
      {"resolved", false, ""},         // an option of another select
      {"quarrion", false, ""},
  };
  for (const auto& c : by_text) {
    EXPECT_EQ(OptionValueByText(kSelects, "project_id", c.text, &v), c.found) << c.text;
    if (c.found) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  // "Phone &amp; Co": the entity runs to the next blank, so the visible text is "Phone  Co".
  EXPECT_TRUE(OptionValueByText(kSelects, "project_id", "Phone  Co", &v));
}

TEST(BugTrackerReaders, TextAreasTextAfterAndTokens) {
  const char body[] =
      "<textarea name=\"other\">x</textarea>"
      "<textarea cols=\"80\" name=\"description\">Line 1 &lt;b&gt;\r\nit's 2</textarea>"
      "<textarea name=\"empty\"/>"
      "<a href=\"bug_update_page.php?bug_id=41&amp;x=1\">41</a>"
      "<a href=\"BUG_UPDATE_PAGE.PHP?BUG_ID=52\">52</a>"
      "<a href=\"default.asp?sActionToken=AbC12\">";
  std::string t;
  ASSERT_TRUE(TextAreaText(body, "description", &t));
  EXPECT_EQ(t, "Line 1 <b>\r\nit's 2");
  ASSERT_TRUE(TextAreaText(body, "empty", &t));
  EXPECT_EQ(t, "");
  EXPECT_FALSE(TextAreaText(body, "missing", &t));

  EXPECT_EQ(TextAfter(body, "bug_update_page.php?bug_id=", 1), "41");
  EXPECT_EQ(TextAfter(body, "bug_update_page.php?bug_id=", 2), "52");
  EXPECT_EQ(TextAfter(body, "bug_update_page.php?bug_id=", 3), "");
  EXPECT_EQ(TextAfter(body, "view.php?id=", 1), "");
  ASSERT_TRUE(TextBetween(body, "sActionToken=", '"', &t));
  EXPECT_EQ(t, "AbC12");  // the token keeps its case
  EXPECT_FALSE(TextBetween(body, "nothing=", '"', &t));
}

TEST(BugTrackerReaders, TitleCounter) {
  const struct {
    const char* title;
    bool result;
    const char* bumped;
  } cases[] = {
      {"[v1.2.0 - 7]: EAccessViolation (1A2B)", true, "[v1.2.0 - 8]: EAccessViolation (1A2B)"},
      {"[v1.2.0 - 9998]: E (1A2B)", true, "[v1.2.0 - 9999]: E (1A2B)"},
      {"[v1.2.0 - 9999]: E (1A2B)", false, ""},
      {"[v1.2.0 - 123456]: E (1A2B)", false, ""},
      {"[v1 - x]: E (1A2B)", true, "[v1 - x]: E (1A2B)"},
      {"plain title", true, "plain title"},
      {"no bracket - 41", true, "no bracket - 42"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(BumpedTitle(c.title, &out), c.result) << c.title;
    if (c.result) {
      EXPECT_EQ(out, c.bumped) << c.title;
    }
  }
}

TEST(BugTrackerReaders, CheckPage) {
  const char body[] = "<a href=\"View.php?id=5\">ok</a>";
  EXPECT_TRUE(CheckPage("bug_report.php", body, "BUG_REPORT.PHP", "href=\"view.php?id="));
  EXPECT_FALSE(CheckPage("login_page.php", body, "bug_report.php", "href=\"view.php?id="));
  EXPECT_FALSE(CheckPage("bug_report.php", body, "bug_report.php", "relogin.cgi"));
  EXPECT_TRUE(CheckPage("x", body, "", "", "error"));
  EXPECT_FALSE(CheckPage("x", body, "", "", "VIEW.PHP"));
}

TEST(BugTrackerTexts, TitlesAddressesAndResults) {
  EXPECT_EQ(NewBugTitle("1.0.3", "EAccessViolation", "0F3C"),
            "[v1.0.3 - 1]: EAccessViolation (0F3C)");
  EXPECT_EQ(SearchText("EAccessViolation", "0F3C"), "EAccessViolation (0F3C)");
  EXPECT_EQ(SearchText("", "0F3C"), " (0F3C)");
  EXPECT_EQ(JoinReproduceText("boom", ""), "boom");
  EXPECT_EQ(JoinReproduceText("boom", "click"), "boom\r\n\r\n---\r\n\r\nclick");
  EXPECT_EQ(AddressWithLogin("http://bugs/", "joe", "", 0), "http://joe:@bugs/");
  EXPECT_EQ(AddressWithLogin("bugs/", "", "pw", 81), ":pw@bugs/:81");
  EXPECT_EQ(AddressWithLogin("http://bugs/", "", "", 0), "http://bugs/");
  EXPECT_EQ(ResultText(3).id, 148);
  EXPECT_STREQ(ResultText(7).text, "Invalid modify request.");
  EXPECT_STREQ(ResultText(1).text,
               "These BUG is just closed.\r\nContact the program support to obtain an update.");
  EXPECT_EQ(ResultText(0).id, 0);
}

TEST(BugTrackerForms, BuildsFieldsFromThePage) {
  const std::string page = std::string(kSelects) +
                           "<input name=\"summary\" value=\"[v2 - 7]: E (00AA)\">"
                           "<input name=\"m_id\" value=\"9\">"
                           "<textarea name=\"description\">d</textarea>";
  TFormFields fields;
  THTMLForm f(page, fields);
  f.CopyInput("m_id");
  f.CopyInput("missing");  // nothing
  f.SelectOptionByText("project_id", "Quarrion");
  f.SelectOptionByText("project_id", "No such");  // falls back to the selected one
  EXPECT_TRUE(f.BumpTitleCounter("summary"));
  EXPECT_FALSE(f.TitleMissing());
  f.CopyTextArea("description");
  f.AddField("additional_info", "");
  EXPECT_EQ(fields, (TFormFields{{"m_id", "9"},
                                 {"project_id", "5"},
                                 {"project_id", "3"},
                                 {"summary", "[v2 - 8]: E (00AA)"},
                                 {"description", "d"},
                                 {"additional_info", ""}}));

  TFormFields none;
  THTMLForm g("<p>no title here</p>", none);
  EXPECT_TRUE(g.BumpTitleCounter("summary"));
  EXPECT_TRUE(g.TitleMissing());
  EXPECT_TRUE(none.empty());
}

TEST(BugTrackerForms, CustomFieldsSkipTheFourOfTheSendLine) {
  const TFormFields tail = {{"FogBugzTrialID", "t"},
                            {"VL_OSType", "Windows"},
                            {"VL_OSBuild", "2600"},
                            {"VL_ReproduceText", "steps"}};
  TFormFields custom = {{"Customer", "ACME"}, {"Line", "a=b"}};
  custom.insert(custom.end(), tail.begin(), tail.end());
  TFormFields fields;
  THTMLForm(std::string_view{}, fields).AddCustomFields(custom);
  EXPECT_EQ(fields, (TFormFields{{"Customer", "ACME"}, {"Line", "a=b"}}));
  EXPECT_EQ(CustomFieldValue(custom, "VL_OSBuild"), "2600");
  EXPECT_EQ(CustomFieldValue(custom, "Nope"), "");

  TFormFields few;
  THTMLForm(std::string_view{}, few).AddCustomFields(tail);  // four entries: nothing
  EXPECT_TRUE(few.empty());
}

}  // namespace

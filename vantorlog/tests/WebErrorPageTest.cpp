#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "VWebErrorPage.h"
#include "core/ExceptionLog.h"
#include "core/VOptions.h"

namespace {

using ExceptionLog::BuildWebErrorPage;

// The default layout written out line by line.
const std::string kDefault =
    "<html>\r\n"
    "  <head>\r\n"
    "  </head>\r\n"
    "  <body TopMargin=10 LeftMargin=10>\r\n"
    "    <table width=\"100%\" border=\"0\">\r\n"
    "      <tr>\r\n"
    "        <td nowrap>\r\n"
    "          <font face=\"Lucida Console, Courier\" size=\"2\">\r\n"
    "            <%HTML_TAG%>\r\n"
    "          </font>\r\n"
    "        </td>\r\n"
    "      </tr>\r\n"
    "    </table>\r\n"
    "  </body>\r\n"
    "</html>";

TEST(WebErrorPage, EmptyOrBlankTemplateFallsBackToTheDefaultByteForByte) {
  for (const char* configured : {"", "   ", "\r\n\t \r\n"}) {
    SCOPED_TRACE(testing::PrintToString(configured));
    EXPECT_EQ(ExceptionLog::WebPageLayout(configured), kDefault);
    EXPECT_EQ(BuildWebErrorPage(configured, "Error occurred", "BODY", 0x1A2B3C4D),
              "<title>Error occurred</title>" +
                  std::string(kDefault).replace(kDefault.find("<%HTML_TAG%>"), 12, "BODY") +
                  "<!-- VantorLog ID: 1A2B3C4D -->");
  }
}

TEST(WebErrorPage, TemplateCases) {
  struct Case {
    const char* layout;
    const char* expected;  // id comment left out
  };
  const Case cases[] = {
      // No placeholder: the body is lost, the layout stays.
      {"<p>nothing</p>", "<title>T</title><p>nothing</p>"},
      // Any letter case of the first placeholder takes the body; later ones must match exactly.
      {"<title>x</title><%html_tag%>|<%Html_Tag%>", "<title>x</title>B|<%Html_Tag%>"},
      {"<TITLE>x</TITLE><%HTML_TAG%><%HTML_TAG%>", "<TITLE>x</TITLE>BB"},
      // A close tag in front of the open tag gets a title of its own in front.
      {"</title><title>x<%HTML_TAG%>", "<title>T</title></title><title>xB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    EXPECT_EQ(BuildWebErrorPage(c.layout, "T", "B", 0xFF),
              std::string(c.expected) + "<!-- VantorLog ID: 000000FF -->");
  }
}

TEST(WebErrorPage, BodyIsInsertedOnceAndTitleIsEscaped) {
  EXPECT_EQ(BuildWebErrorPage("<title></title><%HTML_TAG%>", "t", "<%HTML_TAG%>", 1),
            "<title></title><%HTML_TAG%><!-- VantorLog ID: 00000001 -->");
  EXPECT_EQ(BuildWebErrorPage("<%HTML_TAG%>", "a<b>&", "", 1),
            "<title>a&lt;b&gt;&amp;</title><!-- VantorLog ID: 00000001 -->");
}

class WebErrorPageOptions : public testing::Test {
 protected:
  void SetUp() override {
    options_ = TVantorModuleOptions::Create("");
    ExceptionLog::SetCurrentOptions(options_.get());
  }
  void TearDown() override { ExceptionLog::SetCurrentOptions(nullptr); }
  std::unique_ptr<TVantorModuleOptions> options_;
};

TEST_F(WebErrorPageOptions, ReportIsEscapedAndTheIdIsKept) {
  options_->SetHtmlTemplate("<title>x</title>[<%HTML_TAG%>]");
  const std::string page =
      ExceptionLog::ReportAsHtml("<script>alert('x')</script> & \"q\"\r\nline  2", false);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(page, m,
                               std::regex(R"(<title>x</title>\[([\s\S]*)\](<!-- VantorLog ID: )"
                                          R"([0-9A-F]{8} -->))")))
      << page;
  EXPECT_EQ(m[1].str(),
            "&lt;script&gt;alert(&#039;x&#039;)&lt;/script&gt; &amp; &quot;q&quot;<br>\r\n"
            "line&nbsp;&nbsp;2");
  EXPECT_EQ(ExceptionLog::LastWebPageId(), m[2].str());
}

TEST_F(WebErrorPageOptions, ButtonAndDefaultTitle) {
  options_->SetHtmlTemplate(" \r\n ");
  const std::string page = ExceptionLog::ReportAsHtml("r", true);
  const std::string expected_start =
      "<title>Error occurred</title>" + kDefault.substr(0, kDefault.find("<%HTML_TAG%>")) +
      "r<br><input type=button value=\"Ok\" OnClick=\"history.go(-1)\" "
      "style=\"width:75;height:25;z-index:100;font-style:normal;font-size:10pt;"
      "text-decoration:none;\">\r\n";
  EXPECT_EQ(page.substr(0, expected_start.size()), expected_start);
  // The id of the newest page is the one kept.
  const std::string again = ExceptionLog::ReportAsHtml("r", true);
  EXPECT_EQ(again.substr(again.size() - 31), ExceptionLog::LastWebPageId());
}

TEST(WebErrorPage, ResponseHeader) {
  EXPECT_EQ(ExceptionLog::WebResponseHeader(true, 1234),
            "Status: 200 Error\r\nContent-Type: text/html\r\nContent-Length: 1234\r\n"
            "Content:\r\n\r\n");
  EXPECT_EQ(ExceptionLog::WebResponseHeader(false, 0),
            "Content-Type: text/html\r\nContent-Length: 0\r\nContent:\r\n\r\n");
}

TEST(WebErrorPage, IntraWebPageFilesAndTheirRelativePaths) {
  using Files = std::vector<std::string>;
  EXPECT_EQ(
      ExceptionLog::IntraWebPageCandidates("D:\\Web\\Tpl", "d:\\Tmp\\"),
      (Files{"d:\\Tmp\\VantorLog_IWShowMessage.html", "D:\\Temp\\VantorLog_IWShowMessage.html",
             "D:\\Web\\Tpl\\VantorLog_IWShowMessage.html"}));
  // The temporary folder on another drive is left out.
  EXPECT_EQ(ExceptionLog::IntraWebPageCandidates("D:\\Web\\Tpl\\", "C:\\Tmp\\"),
            (Files{"D:\\Temp\\VantorLog_IWShowMessage.html",
                   "D:\\Web\\Tpl\\VantorLog_IWShowMessage.html"}));
  struct Case {
    const char* base;
    const char* file;
    const char* expected;
  };
  const Case cases[] = {
      {"D:\\Web\\Tpl", "D:\\Web\\Tpl\\p.html", "p.html"},
      {"D:\\Web\\Tpl\\", "d:\\temp\\p.html", "..\\..\\temp\\p.html"},
      {"D:\\web\\tpl", "D:\\Web\\Other\\p.html", "..\\Other\\p.html"},
      {"D:\\Web", "C:\\Temp\\p.html", "C:\\Temp\\p.html"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ExceptionLog::RelativeFilePath(c.base, c.file), c.expected)
        << c.base << " " << c.file;
}

}  // namespace

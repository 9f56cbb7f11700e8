#include "VWebErrorPage.h"

#include <cstdio>
#include <mutex>
#include <random>

#include "SendData.h"
#include "core/ExceptionLog.h"
#include "core/VOptions.h"
#include "core/VTextUtils.h"
#include "core/VTexts.h"

namespace ExceptionLog {

namespace {

std::string last_page_id;

std::uint32_t RandomPageId() {
  static std::mutex lock;
  static std::mt19937 engine{std::random_device{}()};
  std::lock_guard<std::mutex> guard(lock);
  return static_cast<std::uint32_t>(engine());
}

}  // namespace

std::string WebPageLayout(std::string_view html_template) {
  if (VCore::Trim(FlattenControlChars(html_template)).empty()) return kDefaultHtmlTemplate;
  return std::string(html_template);
}

std::string WebPageIdComment(std::uint32_t page_id) {
  char text[40];
  std::snprintf(text, sizeof text, "<!-- VantorLog ID: %08X -->", static_cast<unsigned>(page_id));
  return text;
}

std::string BuildWebErrorPage(std::string_view html_template, std::string_view title_text,
                              std::string_view body, std::uint32_t page_id) {
  std::string layout = WebPageLayout(html_template);
  std::string lower = VCore::LowerCase(layout);
  const std::size_t tag = lower.find(VCore::LowerCase(kHtmlTag));
  if (tag != std::string::npos) layout.replace(tag, sizeof kHtmlTag - 1, kHtmlTag);
  const std::size_t open = lower.find("<title>");
  const std::size_t close = lower.find("</title>");
  if (open == std::string::npos || (close != std::string::npos && close < open))
    layout = "<title>" + VCore::HtmlEscape(title_text) + "</title>" + layout;
  return VCore::ReplaceAll(layout, kHtmlTag, body) + WebPageIdComment(page_id);
}

std::string BuildWebErrorPage(std::string_view body) {
  const TVantorModuleOptions* options = CurrentOptions();
  const std::string layout = options ? options->FHtmlTemplate : std::string();
  const std::string title = options ? options->GetCustomText(3) : VCore::DefaultText(3);
  const std::uint32_t id = RandomPageId();
  last_page_id = WebPageIdComment(id);
  return BuildWebErrorPage(layout, title, body, id);
}

std::string LastWebPageId() { return last_page_id; }

std::string ReportAsHtml(std::string_view report, bool with_button) {
  std::string body = VCore::HtmlEscape(report);
  if (with_button) body += kWebBackButton;
  return BuildWebErrorPage(body);
}

std::string WebResponseHeader(bool status_line, std::size_t length) {
  std::string header = status_line ? "Status: 200 Error\r\n" : "";
  header += "Content-Type: text/html\r\nContent-Length: " + std::to_string(length) +
            "\r\nContent:\r\n\r\n";
  return header;
}

}  // namespace ExceptionLog

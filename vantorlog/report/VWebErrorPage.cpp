#include "VWebErrorPage.h"

#include <cctype>
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

namespace {

char DriveLetter(std::string_view path) {
  return path.size() >= 2 && path[1] == ':'
             ? static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])))
             : 0;
}

std::vector<std::string> SplitFolders(std::string_view path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

}  // namespace

std::string RelativeFilePath(std::string_view base_folder, std::string_view file) {
  if (DriveLetter(base_folder) != DriveLetter(file)) return std::string(file);
  const std::vector<std::string> base = SplitFolders(base_folder);
  const std::vector<std::string> target = SplitFolders(file);
  std::size_t same = 0;
  while (same < base.size() && same + 1 < target.size() &&
         VCore::LowerCase(base[same]) == VCore::LowerCase(target[same]))
    ++same;
  std::string out;
  for (std::size_t i = same; i < base.size(); ++i) out += "..\\";
  for (std::size_t i = same; i < target.size(); ++i) {
    out += target[i];
    if (i + 1 < target.size()) out += '\\';
  }
  return out;
}

std::vector<std::string> IntraWebPageCandidates(std::string_view template_folder,
                                                std::string_view temp_folder) {
  std::vector<std::string> out;
  const char drive = DriveLetter(template_folder);
  if (!temp_folder.empty() && drive != 0 && DriveLetter(temp_folder) == drive)
    out.push_back(VCore::IncludeTrailingSlash(temp_folder) + kIntraWebPageFile);
  if (drive != 0)
    out.push_back(std::string(template_folder.substr(0, 2)) + "\\Temp\\" + kIntraWebPageFile);
  out.push_back(VCore::IncludeTrailingSlash(template_folder) + kIntraWebPageFile);
  return out;
}

}  // namespace ExceptionLog

// Error pages of a program that runs inside a web server (CGI, WinCGI, ISAPI extension or
// IntraWeb application): the mode tests, the page built from the HTML template and the writers
// that send it as the HTTP response.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ExceptionLog {

inline constexpr char kHtmlTag[] = "<%HTML_TAG%>";
inline constexpr char kWebBackButton[] =
    "<br><input type=button value=\"Ok\" OnClick=\"history.go(-1)\" "
    "style=\"width:75;height:25;z-index:100;font-style:normal;font-size:10pt;text-decoration:"
    "none;\">";

// The layout in use: the template, or the default one when it is empty once control
// characters are flattened and blanks trimmed.
std::string WebPageLayout(std::string_view html_template);

// The page of a body: the first placeholder in any letter case is spelled "<%HTML_TAG%>",
// a "<title>" (HTML-escaped title_text) goes in front when the layout lacks a well-placed one,
// every placeholder becomes the body (inserted once, not scanned again) and the id comment
// "<!-- VantorLog ID: XXXXXXXX -->" of page_id follows.
std::string BuildWebErrorPage(std::string_view html_template, std::string_view title_text,
                              std::string_view body, std::uint32_t page_id);
std::string WebPageIdComment(std::uint32_t page_id);

// With the current options' template and text 3, a random id; the id comment is kept as the
// last page id.
std::string BuildWebErrorPage(std::string_view body);
std::string LastWebPageId();

// The report HTML-escaped, with the back button when asked, in the page.
std::string ReportAsHtml(std::string_view report, bool with_button);

// The response header of a page of length bytes; the "Status:" line only for (Win)CGI.
std::string WebResponseHeader(bool status_line, std::size_t length);

// The path of a file relative to a folder ("..\\" for each folder left, letters compared in
// any case); the file's path unchanged on another drive.
std::string RelativeFilePath(std::string_view base_folder, std::string_view file);
// The IntraWeb page's candidate files for a template folder and a temporary folder, in order.
inline constexpr char kIntraWebPageFile[] = "VantorLog_IWShowMessage.html";
std::vector<std::string> IntraWebPageCandidates(std::string_view template_folder,
                                                std::string_view temp_folder);

#ifdef _WIN32
// ---- Modes ----
bool IsConsoleProgram();
bool IsCGIModule();
bool IsWinCGIModule();
bool IsWebExtensionDll();
bool IsIntraWebModule();
bool IsWebModule();
bool IsGUIProgram();
// The output file that the WinCGI test found ("" before it or when it failed).
std::string WinCGIOutputFile();

// The ISAPI extension control block, laid out as the server passes it.
struct TIsapiControlBlock;
using THConn = void*;
using TIsapiGetServerVariable = int(__stdcall*)(THConn, char*, void*, unsigned long*);
using TIsapiWriteClient = int(__stdcall*)(THConn, void*, unsigned long*, unsigned long);
using TIsapiReadClient = int(__stdcall*)(THConn, void*, unsigned long*);
using TIsapiServerSupportFunction = int(__stdcall*)(THConn, unsigned long, void*, unsigned long*,
                                                    unsigned long*);
struct TIsapiControlBlock {
  unsigned long cbSize;
  unsigned long dwVersion;
  THConn ConnID;
  unsigned long dwHttpStatusCode;
  char lpszLogData[80];
  char* lpszMethod;
  char* lpszQueryString;
  char* lpszPathInfo;
  char* lpszPathTranslated;
  unsigned long cbTotalBytes;
  unsigned long cbAvailable;
  unsigned char* lpbData;
  char* lpszContentType;
  TIsapiGetServerVariable GetServerVariable;
  TIsapiWriteClient WriteClient;
  TIsapiReadClient ReadClient;
  TIsapiServerSupportFunction ServerSupportFunction;
};
inline constexpr unsigned long kHseReqSendResponseHeader = 3;

// The control block of the current request, kept by the HttpExtensionProc hook.
void SetIsapiControlBlock(TIsapiControlBlock* ecb);
TIsapiControlBlock* IsapiControlBlock();
// Set while the library writes its own response (the output hooks let it through).
bool WebOwnOutput();

// The IntraWeb show-message entry, kept by the framework hooks; its presence makes the module
// an IntraWeb module.
using TIntraWebShowMessage = void (*)(void* application, const std::string& message,
                                      int message_type, const std::string& template_name);
void SetIntraWebShowMessage(TIntraWebShowMessage entry);
// The IntraWeb application and server controller, and the controller's published string
// property "TemplateDir", kept by the framework hooks.
void SetIntraWebApplication(void* application, void* server_controller);
using TIntraWebTemplateDir = std::string (*)(void* server_controller);
void SetIntraWebTemplateDir(TIntraWebTemplateDir read);
// The message text of the page (the title line and the report); kept escaped once shown.
void SetIntraWebMessageText(std::string text);
std::string IntraWebMessageText();
// Writes the page as the template file and hands it to IntraWeb's show-message entry.
bool ShowIntraWebErrorPage();

// True when the whole text was written (the folder is made when missing; no sharing).
bool WriteTextFile(const std::string& text, const std::string& path);

// ---- Writers ----
// ISAPI: the header through ServerSupportFunction, the page through WriteClient.
bool SendIsapiResponse(TIsapiControlBlock* ecb, const std::string& page);
// CGI: header and page on standard output.
bool SendCGIResponse(const std::string& page);
// WinCGI: header and page in the output file (made when missing, cut to what was written).
bool SendWinCGIResponse(const std::string& output_file, const std::string& page);
// By the module's mode (ISAPI, CGI, WinCGI); true without any.
bool SendWebErrorResponse(const std::string& page);
#endif

}  // namespace ExceptionLog

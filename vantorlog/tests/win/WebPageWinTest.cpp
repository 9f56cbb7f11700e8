#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "VWebErrorPage.h"
#include "core/ExceptionLog.h"

namespace {

// Each test its own folder: ctest runs the cases in parallel.
std::string TestFolder() {
  const std::string folder = std::string(VL_OUTPUT "/web-page-") +
                             testing::UnitTest::GetInstance()->current_test_info()->name();
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct TChildRun {
  std::string out;     // standard output
  std::string report;  // what the child wrote to VL_CHILD_REPORT
  DWORD exit_code = 1;
};

// Runs a child with extra environment variables (each "NAME=value") and the arguments;
// reads its standard output through a pipe.
TChildRun RunChild(const char* exe, const std::string& args, const std::vector<std::string>& env) {
  TChildRun run;
  const std::string report = TestFolder() + "/child-report.txt";
  DeleteFileA(report.c_str());
  std::wstring block;
  const auto add = [&](const std::string& entry) {
    block.append(entry.begin(), entry.end());
    block += L'\0';
  };
  LPWCH all = GetEnvironmentStringsW();
  for (LPWCH p = all; *p; p += wcslen(p) + 1) {
    const std::wstring entry = p;
    if (entry.rfind(L"REQUEST_METHOD=", 0) != 0 && entry.rfind(L"VL_CHILD_REPORT=", 0) != 0)
      block += entry + L'\0';
  }
  FreeEnvironmentStringsW(all);
  for (const auto& e : env) add(e);
  add("VL_CHILD_REPORT=" + report);
  block += L'\0';
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  EXPECT_TRUE(CreatePipe(&read_end, &write_end, &sa, 0));
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = write_end;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  std::string command = "\"" + std::string(exe) + "\" " + args;
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &si, &pi);
  CloseHandle(write_end);
  EXPECT_TRUE(started) << GetLastError();
  if (started) {
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0)
      run.out.append(buffer, n);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &run.exit_code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(read_end);
  run.report = ReadBytes(report);
  return run;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The page part a response must carry: the escaped report, the button and the id.
void ExpectPage(const std::string& page, const std::string& report) {
  EXPECT_NE(page.find("Access violation &lt;at&gt; 0040 &amp; &quot;x&quot;<br><input type=button"),
            std::string::npos)
      << page;
  EXPECT_EQ(page.rfind("<title>Error occurred</title><html>\r\n", 0), 0u);
  // The id comment ends the page and is the child's last page id.
  const std::string id = report.substr(report.rfind('\n', report.size() - 2) + 1);
  ASSERT_EQ(id.size(), 32u) << report;
  EXPECT_EQ(page.substr(page.size() - 31), id.substr(0, 31));
}

// Splits "header\r\n\r\npage" and checks the header lines against the page length.
void ExpectResponse(const std::string& response, const std::string& report) {
  const std::size_t end = response.find("Content:\r\n\r\n");
  ASSERT_NE(end, std::string::npos) << response;
  const std::string header = response.substr(0, end + 12);
  const std::string page = response.substr(end + 12);
  EXPECT_EQ(header, "Status: 200 Error\r\nContent-Type: text/html\r\nContent-Length: " +
                        std::to_string(page.size()) + "\r\nContent:\r\n\r\n");
  ExpectPage(page, report);
}

class WebPageChildren : public testing::Test {
 protected:
  void SetUp() override { folder_ = TestFolder(); }
  std::string folder_;
};

TEST_F(WebPageChildren, CgiAnswersOnStandardOutput) {
  const TChildRun run = RunChild(VL_CGI_CHILD, "",
                                 {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET",
                                  "SERVER_PROTOCOL=HTTP/1.1", "QUERY_STRING=a=1"});
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(FirstLine(run.report), "console=1 cgi=1 wincgi=0 web=1 gui=0 sent=1");
  ExpectResponse(run.out, run.report);
}

TEST_F(WebPageChildren, ConsoleWithoutRequestMethodIsNeitherGuiNorWeb) {
  const TChildRun run = RunChild(VL_CGI_CHILD, "", {"GATEWAY_INTERFACE=CGI/1.1"});
  EXPECT_EQ(FirstLine(run.report), "console=1 cgi=0 wincgi=0 web=0 gui=0 sent=0");
  EXPECT_EQ(run.out, "");
}

// The WinCGI child: the INI file with the request, the output file from the third parameter
// or from [System] "Output File".
class WinCgi : public WebPageChildren {
 protected:
  void SetUp() override {
    WebPageChildren::SetUp();
    ini_ = folder_ + "\\request.ini";
    out_ = folder_ + "\\answer.htm";
    other_ = folder_ + "\\other.htm";
    // A longer older answer must not trail the new one.
    WriteBytes(out_, std::string(20000, 'Z'));
    WriteBytes(other_, "");
  }
  std::string Ini(std::size_t pad_to = 0) {
    std::string text = "[CGI]\r\nRequest Method=POST\r\n[System]\r\nOutput File=" + out_ + "\r\n";
    if (pad_to > text.size()) {
      std::string pad = ";" + std::string(pad_to - text.size() - 3, 'p') + "\r\n";
      text = pad + text;
    }
    return text;
  }
  std::string ini_, out_, other_;
};

TEST_F(WinCgi, AnswersInTheOutputFileOfTheIni) {
  WriteBytes(ini_, Ini());
  const TChildRun run = RunChild(VL_WINCGI_CHILD, "\"" + ini_ + "\" \"\" \"\"", {});
  EXPECT_EQ(FirstLine(run.report), "console=0 cgi=0 wincgi=1 web=1 gui=0 sent=1");
  ExpectResponse(ReadBytes(out_), run.report);
}

TEST_F(WinCgi, ThirdParameterNamesTheOutputFile) {
  WriteBytes(ini_, Ini());
  const TChildRun run =
      RunChild(VL_WINCGI_CHILD, "\"" + ini_ + "\" content.txt \"" + other_ + "\"", {});
  EXPECT_EQ(FirstLine(run.report), "console=0 cgi=0 wincgi=1 web=1 gui=0 sent=1");
  ExpectResponse(ReadBytes(other_), run.report);
  EXPECT_EQ(ReadBytes(out_), std::string(20000, 'Z'));
}

TEST_F(WinCgi, IniSizeLimitAndMissingParts) {
  struct Case {
    const char* name;
    std::string ini;
    std::string args;
    const char* expected;
  };
  const std::string quoted = "\"" + ini_ + "\"";
  const Case cases[] = {
      {"at the limit", Ini(102400), quoted, "console=0 cgi=0 wincgi=1 web=1 gui=0 sent=1"},
      {"one byte over", Ini(102401), quoted, "console=0 cgi=0 wincgi=0 web=0 gui=1 sent=0"},
      {"no request method", "[CGI]\r\nRequest Method=\r\n[System]\r\nOutput File=" + out_, quoted,
       "console=0 cgi=0 wincgi=0 web=0 gui=1 sent=0"},
      {"output file missing", Ini(), quoted + " x \"" + folder_ + "\\missing.htm\"",
       "console=0 cgi=0 wincgi=0 web=0 gui=1 sent=0"},
      {"wildcard", Ini(), "\"" + folder_ + "\\*.ini\"",
       "console=0 cgi=0 wincgi=0 web=0 gui=1 sent=0"},
      {"no parameter", Ini(), "", "console=0 cgi=0 wincgi=0 web=0 gui=1 sent=0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(ini_, c.ini);
    WriteBytes(out_, "old");
    const TChildRun run = RunChild(VL_WINCGI_CHILD, c.args, {});
    EXPECT_EQ(FirstLine(run.report), c.expected);
    if (std::string(c.expected).find("wincgi=1") != std::string::npos)
      ExpectResponse(ReadBytes(out_), run.report);
    else
      EXPECT_EQ(ReadBytes(out_), "old");
  }
}

// ---- ISAPI through a fake extension control block ----

struct TIsapiRecord {
  std::vector<std::string> calls;
  std::string status, header, written;
  unsigned long written_length = 0;
  bool own_output_seen = true;
  bool fail_write = false;
};
TIsapiRecord* isapi = nullptr;
void* const kConn = reinterpret_cast<void*>(0x1234);

int __stdcall FakeServerSupport(void* conn, unsigned long request, void* buffer,
                                unsigned long* size, unsigned long* data_type) {
  isapi->calls.push_back("SSF " + std::to_string(request) + (conn == kConn ? " conn" : " ?"));
  isapi->own_output_seen = isapi->own_output_seen && ExceptionLog::WebOwnOutput();
  isapi->status = static_cast<const char*>(buffer);
  (void)size;
  isapi->header = reinterpret_cast<const char*>(data_type);
  return 1;
}
int __stdcall FakeWriteClient(void* conn, void* buffer, unsigned long* length,
                              unsigned long reserved) {
  isapi->calls.push_back("Write " + std::to_string(reserved) + (conn == kConn ? " conn" : " ?"));
  isapi->own_output_seen = isapi->own_output_seen && ExceptionLog::WebOwnOutput();
  isapi->written.assign(static_cast<const char*>(buffer), *length);
  isapi->written_length = *length;
  return isapi->fail_write ? 0 : 1;
}

class Isapi : public testing::Test {
 protected:
  void SetUp() override {
    isapi = &record_;
    ecb_.cbSize = sizeof ecb_;
    ecb_.ConnID = kConn;
    ecb_.dwHttpStatusCode = 500;
    ecb_.ServerSupportFunction = FakeServerSupport;
    ecb_.WriteClient = FakeWriteClient;
    ::ClearLibraryWarning();
  }
  void TearDown() override { isapi = nullptr; }
  TIsapiRecord record_;
  ExceptionLog::TIsapiControlBlock ecb_{};
};

TEST_F(Isapi, HeaderWithoutStatusLineThenThePage) {
  static_assert(offsetof(ExceptionLog::TIsapiControlBlock, lpszLogData) == 16);
  static_assert(offsetof(ExceptionLog::TIsapiControlBlock, WriteClient) == 132);
  static_assert(sizeof(ExceptionLog::TIsapiControlBlock) == 144);
  const std::string page = "<html>page &amp; more</html>";
  EXPECT_TRUE(ExceptionLog::SendIsapiResponse(&ecb_, page));
  EXPECT_EQ(record_.calls, (std::vector<std::string>{"SSF 3 conn", "Write 0 conn"}));
  EXPECT_EQ(ecb_.dwHttpStatusCode, 200u);
  EXPECT_EQ(record_.status, "200 Error");
  EXPECT_EQ(record_.header, "Content-Type: text/html\r\nContent-Length: 28\r\nContent:\r\n\r\n");
  EXPECT_EQ(record_.written, page);
  EXPECT_EQ(record_.written_length, 28u);
  EXPECT_TRUE(record_.own_output_seen);
  EXPECT_FALSE(ExceptionLog::WebOwnOutput());
}

TEST_F(Isapi, MissingBlockOrFailedWriteIsAWarningAndFalse) {
  EXPECT_FALSE(ExceptionLog::SendIsapiResponse(nullptr, "p"));
  EXPECT_EQ(::LastWarningCode(), ::TVantorLogErrorCode::eeShowError);
  EXPECT_EQ(::LastWarningMessage(), "ISAPI: ServerECB = nil");
  record_.fail_write = true;
  EXPECT_FALSE(ExceptionLog::SendIsapiResponse(&ecb_, "p"));
  EXPECT_FALSE(ExceptionLog::WebOwnOutput());
}

// ---- IntraWeb through fake framework entries ----

struct TIntraWebCall {
  int count = 0;
  void* application = nullptr;
  std::string message, template_name;
  int type = 0;
};
TIntraWebCall intraweb_call;
void FakeShowMessage(void* application, const std::string& message, int type,
                     const std::string& template_name) {
  ++intraweb_call.count;
  intraweb_call.application = application;
  intraweb_call.message = message;
  intraweb_call.type = type;
  intraweb_call.template_name = template_name;
}
std::string intraweb_template_dir;
std::string FakeTemplateDir(void*) { return intraweb_template_dir; }

TEST(IntraWebPage, WrittenInTheTemporaryFolderOfTheSameDriveAndShown) {
  int application = 0, controller = 0;
  intraweb_call = {};
  intraweb_template_dir = "  C:\\vl-intraweb\\app\\templates  ";
  ExceptionLog::SetIntraWebShowMessage(FakeShowMessage);
  ExceptionLog::SetIntraWebApplication(&application, &controller);
  ExceptionLog::SetIntraWebTemplateDir(FakeTemplateDir);
  ExceptionLog::SetIntraWebMessageText("Error <b> & more");
  EXPECT_TRUE(ExceptionLog::IsIntraWebModule());
  EXPECT_TRUE(ExceptionLog::ShowIntraWebErrorPage());
  EXPECT_EQ(intraweb_call.count, 1);
  EXPECT_EQ(intraweb_call.application, &application);
  EXPECT_EQ(intraweb_call.message, "Error &lt;b&gt; &amp; more");
  EXPECT_EQ(ExceptionLog::IntraWebMessageText(), "Error &lt;b&gt; &amp; more");
  EXPECT_EQ(intraweb_call.type, 2);
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  ASSERT_EQ(std::toupper(temp[0]), 'C') << temp;
  const std::string file = std::string(temp) + "VantorLog_IWShowMessage.html";
  EXPECT_EQ(intraweb_call.template_name,
            "..\\..\\..\\" + std::string(temp + 3) + "VantorLog_IWShowMessage.html");
  const std::string page = ReadBytes(file);
  EXPECT_NE(page.find("            Error &lt;b&gt; &amp; more\r\n          </font>"),
            std::string::npos)
      << page;
  const std::string tail = "<br>{%butnOk%}";
  EXPECT_EQ(page.substr(page.size() - tail.size()), tail);
  EXPECT_EQ(page.substr(page.size() - tail.size() - 31, 31), ExceptionLog::LastWebPageId());
  DeleteFileA(file.c_str());
}

TEST(IntraWebPage, MissingApplicationIsAWarning) {
  intraweb_call = {};
  ExceptionLog::SetIntraWebShowMessage(FakeShowMessage);
  ExceptionLog::SetIntraWebApplication(nullptr, nullptr);
  EXPECT_FALSE(ExceptionLog::ShowIntraWebErrorPage());
  EXPECT_EQ(intraweb_call.count, 0);
  EXPECT_EQ(::LastWarningMessage(),
            "IntraWeb: IntraWebApplication e/o IntraWebServerController are set to nil.");
}

// The extension DLL as the server calls it: the module is a web extension and answers through
// the block it is given.
TEST_F(Isapi, ExtensionDllAnswersThroughItsControlBlock) {
  HMODULE library = LoadLibraryA(VL_WEB_EXTENSION);
  ASSERT_NE(library, nullptr) << GetLastError();
  using TProc = DWORD(__stdcall*)(ExceptionLog::TIsapiControlBlock*);
  const auto proc = reinterpret_cast<TProc>(GetProcAddress(library, "HttpExtensionProc"));
  ASSERT_NE(proc, nullptr);
  EXPECT_EQ(proc(&ecb_), 1u);
  EXPECT_EQ(record_.calls, (std::vector<std::string>{"SSF 3 conn", "Write 0 conn"}));
  EXPECT_EQ(record_.status, "200 Error");
  EXPECT_EQ(record_.header, "Content-Type: text/html\r\nContent-Length: " +
                                std::to_string(record_.written.size()) + "\r\nContent:\r\n\r\n");
  EXPECT_NE(record_.written.find("            r&lt;1&gt;\r\n"), std::string::npos);
  EXPECT_EQ(ecb_.dwHttpStatusCode, 200u);
  FreeLibrary(library);
}

TEST(WebPageModes, TestProgramIsNoWebModule) {
  // A console test program without REQUEST_METHOD: nothing to write, nothing failed.
  SetEnvironmentVariableA("REQUEST_METHOD", nullptr);
  ExceptionLog::SetIntraWebShowMessage(nullptr);
  EXPECT_FALSE(ExceptionLog::IsWebModule());
  EXPECT_FALSE(ExceptionLog::IsWebExtensionDll());
  EXPECT_TRUE(ExceptionLog::SendWebErrorResponse("page"));
}

}  // namespace

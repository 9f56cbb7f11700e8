// The XML tree writer: escaping and rendering, bytes written out by hand; the section parsers
// over small report texts, protected names deciphered with the password.
#include <gtest/gtest.h>

#include <cstring>

#include "ReportText.h"
#include "VBase64.h"
#include "VEncrypt.h"
#include "VLogFile.h"
#include "VXmlLog.h"

namespace {

using namespace ExceptionLog;

TEST(XmlItemTest, Escape) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain text 0-9", "plain text 0-9"},
      {"<", "&#060;"},
      {"a&b", "a&#038;b"},
      {"\"'>", "&#034;&#039;&#062;"},
      {"\t\r\n", "&#009;&#013;&#010;"},
      {"\x7F\x80\xFF", "&#127;&#128;&#255;"},
      {std::string("a\x01"
                   "b\x1F"),
       "a b "},  // XML cannot name these
  };
  for (const Case& c : cases) EXPECT_EQ(TXMLItem::Escape(c.in), c.out) << c.in;
}

TEST(XmlItemTest, Render) {
  TXMLItem root("Doc");
  EXPECT_EQ(root.GetText(), "<Doc/>\r\n");
  TXMLItem* a = root.AddChild("A");
  a->AddAttribute("X", "1<2");
  a->AddAttribute("Y", "");
  TXMLItem* b = a->AddChild("B");
  EXPECT_EQ(b->Parent(), a);
  root.AddChild("C")->Value = "v";
  EXPECT_EQ(root.GetText(),
            "<Doc>\r\n"
            "  <A X=\"1&#060;2\" Y=\"\">\r\n"
            "    <B/>\r\n"
            "  </A>\r\n"
            "  <C>v</C>\r\n"
            "</Doc>\r\n");
}

TEST(XmlLogTest, EmptyLogAndReportsWithoutSections) {
  TLogFile log;
  EXPECT_EQ(log.LogToXML(), "<Doc>\r\n</Doc>\r\n");
  EXPECT_EQ(log.ReportToXML(0), "");
  // A report of a product line only: just the version.
  log.AddReport("VantorLog 6.0.15\r\n\r\n-\r\n|x|\r\n", -1);
  EXPECT_EQ(log.ReportVersion(0), "6.0.15");
  EXPECT_EQ(log.LogToXML(), "<Doc>\r\n  <Log Version=\"6.0.15\">\r\n  </Log>\r\n</Doc>\r\n");
}

TEST(XmlLogTest, GeneralGroupsAndValues) {
  const std::string report =
      "VantorLog 6.0.15\r\n"
      "\r\n"
      "Exception:\r\n"
      "----------\r\n"
      "  2.6 Message: first:_line\r\n"
      "               .\r\n"
      "               then:\r\n"
      "  2.10 Note  : \r\n"
      "\r\n"
      "Request:\r\n"
      "--------\r\n"
      "  8.1 : <do>\r\n"
      "\r\n"
      "Call Stack Information:\r\n"
      "-----\r\n"
      "|x|\r\n";
  EXPECT_EQ(GeneralToXML(report),
            "<General>\r\n"
            "  <Group ID=\"2\" Label=\"Exception\">\r\n"
            "    <Line ID=\"2.6\" Label=\"Message\" Value=\"first: line&#013;&#010;&#013;&#010;"
            "then:\"/>\r\n"
            "    <Line ID=\"2.10\" Label=\"Note\" Value=\"\"/>\r\n"
            "  </Group>\r\n"
            "  <Group ID=\"8\" Label=\"Request\">\r\n"
            "    <Line ID=\"8.1\" Label=\"\" Value=\"&#060;do&#062;\"/>\r\n"
            "  </Group>\r\n"
            "</General>\r\n");
}

TEST(XmlLogTest, ThreadHeaders) {
  const std::string report =
      "VantorLog 6.0.15\r\n\r\n"
      "Call Stack Information:\r\n"
      "-----\r\n"
      "|Address|Module|Unit|Class|Procedure|Line|\r\n"
      "-----\r\n"
      "|*Exception Thread: ID=5; Priority=0; Class=; [Main]|\r\n"
      "|-----|\r\n"
      "|00401000|a.exe|a.cpp||F|12[3]|\r\n"
      "|-----|\r\n"
      "|Calling Thread: ID=6; Priority=2; Class=TWorker (w)|\r\n"
      "|-----|\r\n"
      "|00402000|a.exe|b.cpp|TWorker|Run||\r\n"
      "|-----|\r\n"
      "|     |\r\n"
      "|Running Thread: ID=7; Priority=??; Class=|\r\n"
      "|-----|\r\n"
      "|00403000|a.exe|c.cpp||G|9[0]|\r\n"
      "-----\r\n"
      "\r\n";
  EXPECT_EQ(CallStackToXML(report, ""),
            "<CallStack>\r\n"
            "  <ExceptionThread ID=\"5\" Priority=\"0\" Class=\"\" MainThread=\"True\">\r\n"
            "    <Line Address=\"00401000\" Module=\"a.exe\" Unit=\"a.cpp\" Class=\"\" "
            "Procedure=\"F\" Number=\"12\" Offset=\"3\"/>\r\n"
            "    <CallingThread ID=\"6\" Priority=\"2\" Class=\"TWorker (w)\" "
            "MainThread=\"False\">\r\n"
            "      <Line Address=\"00402000\" Module=\"a.exe\" Unit=\"b.cpp\" Class=\"TWorker\" "
            "Procedure=\"Run\" Number=\"\" Offset=\"\"/>\r\n"
            "    </CallingThread>\r\n"
            "  </ExceptionThread>\r\n"
            "  <RunningThread ID=\"7\" Priority=\"??\" Class=\"\" MainThread=\"False\">\r\n"
            "    <Line Address=\"00403000\" Module=\"a.exe\" Unit=\"c.cpp\" Class=\"\" "
            "Procedure=\"G\" Number=\"9\" Offset=\"0\"/>\r\n"
            "  </RunningThread>\r\n"
            "</CallStack>\r\n");
}

}  // namespace

namespace {

using namespace ExceptionLog;

// A report whose exception address cannot be read: the assembler section has no header and
// no lines, the CPU block has registers without a context and no dump.
TEST(XmlLogTest, UnreadableExceptionAddress) {
  auto options = TVantorModuleOptions::Create("");
  options->FDialogShowFlags.fill(0);
  options->FLogFlags = 0x30;
  TReportInput input;
  TReportPieces pieces;
  BuildReportText(pieces, *options, input);
  ASSERT_EQ(pieces.AssemblerHeader, "");
  const std::string xml = ReportTextToXML(pieces.Report, "");
  EXPECT_EQ(AssemblerToXML(pieces.Report), "") << xml;
  EXPECT_EQ(CpuToXML(pieces.Report),
            "<CPU>\r\n"
            "  <Registers/>\r\n"
            "  <Stack/>\r\n"
            "  <MemoryDump/>\r\n"
            "</CPU>\r\n")
      << pieces.Report;
}

}  // namespace

namespace {

using namespace ExceptionLog;

// A name as the debug data protects it: chained TEA under the password's key, then Base64.
std::string Protect(const std::string& password, const std::string& plain) {
  VEncrypt::SetCipherKey(password);
  std::string out = plain;
  std::uint8_t chain[8];
  std::memset(chain, VEncrypt::kChainByte, sizeof chain);
  std::size_t pos = 0;
  for (; pos + 8 <= out.size(); pos += 8) {
    std::uint8_t block[8];
    for (int i = 0; i < 8; ++i) block[i] = static_cast<std::uint8_t>(out[pos + i]) ^ chain[i];
    VEncrypt::EncipherBlock(block);
    std::memcpy(&out[pos], block, 8);
    std::memcpy(chain, block, 8);
  }
  if (pos < out.size()) {
    VEncrypt::EncipherBlock(chain);
    for (std::size_t i = 0; pos + i < out.size(); ++i)
      out[pos + i] = static_cast<char>(out[pos + i] ^ chain[i]);
  }
  return VBase64::EncodeBuffer(out.data(), out.size());
}

std::string StackWithRow(const std::string& unit, const std::string& cls,
                         const std::string& procedure) {
  return "VantorLog 6.0.15\r\n\r\nCall Stack Information:\r\n-----\r\n"
         "|Address|Module|Unit|Class|Procedure|Line|\r\n-----\r\n"
         "|*Exception Thread: ID=5; Priority=0; Class=|\r\n|-----|\r\n"
         "|00401000|a.exe|" +
         unit + "|" + cls + "|" + procedure + "|12[3]|\r\n-----\r\n\r\n";
}

// (Unit, Class, Procedure) of the stack's first line.
std::string Names(const std::string& xml) {
  const std::size_t at = xml.find("Unit=\"");
  const std::size_t end = xml.find(" Number=", at);
  return at == std::string::npos ? "" : xml.substr(at, end - at);
}

TEST(XmlLogTest, ProtectedNames) {
  const std::string pw = "secret";
  struct Case {
    const char* name;
    std::string unit, cls, procedure, password, names;
  } cases[] = {
      {"unit of C++, class and procedure", "?p" + Protect(pw, "main"), "?" + Protect(pw, "TForm1"),
       "?" + Protect(pw, "Click1"), pw, "Unit=\"main.cpp\" Class=\"TForm1\" Procedure=\"Click1\""},
      {"other language, unit with extension kept", "?d" + Protect(pw, "Forms"), "",
       "?" + Protect(pw, "Run"), pw, "Unit=\"Forms.pas\" Class=\"\" Procedure=\"Run\""},
      {"class taken from the procedure, @ becomes _", "?p" + Protect(pw, "core.c"),
       "?" + Protect(pw, "Ignored"), "?" + Protect(pw, "TList.@Grow"), pw,
       "Unit=\"core.c\" Class=\"TList\" Procedure=\"_Grow\""},
      {"no password: cells as written", "?pAAAA", "?BBBB", "?CCCC", "",
       "Unit=\"?pAAAA\" Class=\"?BBBB\" Procedure=\"?CCCC\""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Names(CallStackToXML(StackWithRow(c.unit, c.cls, c.procedure), c.password)), c.names)
        << c.name;
  // A wrong password deciphers to bytes outside the name characters: the cells stay.
  const std::string unit = "?p" + Protect(pw, "main_unit_name"),
                    proc = "?" + Protect(pw, "Procedure_name");
  EXPECT_EQ(Names(CallStackToXML(StackWithRow(unit, "", proc), "wrong")),
            "Unit=\"" + unit + "\" Class=\"\" Procedure=\"" + TXMLItem::Escape(proc) + "\"");
}

}  // namespace

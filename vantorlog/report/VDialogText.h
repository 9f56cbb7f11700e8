// The exception dialogs' text work that needs no window: the e-mail check and its report item,
// the source-jump message of the call-stack page, the tab-to-page choice, the check-box rows'
// extra height and the rich text of the assembler and CPU pages.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ExceptionLog {

// An address holding both "@" and "." (in any order).
bool IsValidEmail(const std::string& text);
// The value of the report line that begins "\r\n  3.3 " (the User group's Email item): the text
// between the first ": " after that marker and the next "\r\n" becomes email. The text is
// returned unchanged when it has no such line.
std::string ReplaceEmailItem(const std::string& report, const std::string& email);

// The call-stack page's Line text "123[4]": the digits before the first non-digit and the
// digits after "[" (-1 when there is no "[").
struct TLineAndOffset {
  std::int32_t line = 0;
  std::int32_t offset = -1;
};
TLineAndOffset SplitLineText(const std::string& text);

// The 376-byte message of a source jump: an empty 90-byte name, unit, class and procedure in
// 90-byte fields (cut to 89 characters and a NUL), line, offset and the module's two debug
// values, little-endian.
inline constexpr std::size_t kSourceMessageSize = 376;
inline constexpr std::size_t kSourceNameField = 90;
using TSourceMessage = std::array<std::uint8_t, kSourceMessageSize>;
TSourceMessage SourceLocationMessage(const std::string& unit_name, const std::string& class_name,
                                     const std::string& procedure_name,
                                     const std::string& line_text, std::uint32_t debug_value1,
                                     std::uint32_t debug_value2);
// "\\.\mailslot\VantorLog" + the process id in decimal.
std::string SourceMailslotName(std::uint32_t process_id);

// Height of the check-box rows under the buttons.
int DialogExtraHeight(bool send_offered, bool screenshot_offered, bool copy_offered,
                      bool link_present);

// The page of a tab (0 general, 1 call stack, 2 modules, 3 processes, 4 assembler, 5 CPU): a
// negative index is made positive and moved past the groups that have no tab.
int TabPageIndex(int tab_index, bool modules_tabs, bool assembler_tabs);
// The first tab asked for, or 0 when its group has no tab.
int FirstTabIndex(int first_tab, bool modules_tabs, bool assembler_tabs);

// Image of a module row: 1 for ".BPL" and ".DPL", 2 for ".EXE", 0 otherwise.
int ModuleImageIndex(const std::string& file_name);

// The exception dialog's caption of the Details button in each form.
std::string DetailsButtonText(const std::string& text, bool detailed);

// What the detailed form applies of the stored placement: a minimised state opens normal (a
// minimised dialog gets no paint and would close itself), and the stored height, which leaves
// out the check-box rows, gets them back.
struct TPlacementToApply {
  int left = 0, top = 0, width = 0, height = 0;
  bool maximised = false;
};
TPlacementToApply PlacementToApply(int left, int top, int width, int height, int state,
                                   int extra_height);

// The short dialog's closing step: an address that is neither empty nor valid keeps the dialog
// open, unless the dialog is being cancelled (Escape, the close box, auto-close).
bool EmailKeepsDialogOpen(const std::string& email, bool cancelled);

// Height of a text wrapped at a width: lines (an empty one counts as one blank) split into
// words at the separators (kept with the word before them); words are added on a line while
// they fit in width - 6, a word that does not fit starts a new line and adds
// (word width - 1) / width + 1 line heights.
int WrappedTextHeight(const std::string& text, int width, int line_height,
                      const std::function<int(const std::string&)>& measure);

// Window size of the compact form: the message's lines and the check-box row's texts measured
// as one more line, wrapped at 640 - (2 x frame + 58); at least 340 wide; the check-box rows'
// extra height below the buttons.
struct TCompactSize {
  int width = 0, height = 0;
};
TCompactSize CompactDialogSize(const std::string& message, const std::string& check_box_line,
                               int line_height, int frame_x, int frame_y, int caption_height,
                               int extra_height,
                               const std::function<int(const std::string&)>& measure);

// Rich text of the Assembler page: the exception line bold in colour 4, comments in colour 7,
// addresses in colour 5 and procedure lines in colour 6.
std::string AssemblerPageRtf(std::string_view section, int charset, std::string_view font_face,
                             int point_size);
// Rich text of the CPU page: captions bold in colour 3, rules in colour 3, columns at tab stops
// (twips; 0: none).
std::string CpuPageRtf(std::string_view section, int charset, std::string_view font_face,
                       int point_size, int column_twips);

}  // namespace ExceptionLog

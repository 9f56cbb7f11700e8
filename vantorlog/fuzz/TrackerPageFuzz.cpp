// libFuzzer target of the bug-tracker page readers and the form builder: any page, with the
// names and texts the senders look for taken from the input's first line; every read is
// bounded and a value read back is made of the page's own bytes or their decoded references.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "VBugTrackers.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Decoded references can grow a value by a few bytes per "&"; nothing grows more.
void Bounded(const std::string& value, std::string_view page) {
  Check(value.size() <= page.size() * 4 + 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace VBugTrackers;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // "name|text\n" then the page; without a first line the names are the senders' own.
  std::string_view name = "bug_file_loc", text = "Bug", page = input;
  if (std::size_t nl = input.find('\n'); nl != std::string_view::npos && nl < 64) {
    std::string_view head = input.substr(0, nl);
    std::size_t bar = head.find('|');
    name = head.substr(0, bar);
    text = bar == std::string_view::npos ? std::string_view{} : head.substr(bar + 1);
    page = input.substr(nl + 1);
  }

  std::string value;
  if (InputValue(page, name, &value)) {
    Check(!value.empty());
    Bounded(value, page);
  }
  if (TextAreaText(page, name, &value)) Bounded(value, page);
  if (SelectedValue(page, name, &value)) Bounded(value, page);
  if (OptionValueByText(page, name, text, &value)) Bounded(value, page);
  for (int n = 1; n <= 3; ++n) {
    const std::string after = TextAfter(page, text, n);
    Check(after.size() <= page.size());
    Check(after.find_first_of(" \"&<>\\") == std::string::npos);
  }
  if (!text.empty() && TextBetween(page, text, '<', &value)) {
    Check(value.size() <= page.size() && value.find('<') == std::string::npos);
    Check(ContainsText(page, text));
  }
  CheckPage(name, page, text, name, text);

  std::string title;
  if (BumpedTitle(page.substr(0, 256), &title)) Check(title.size() <= 257);

  TFormFields fields;
  THTMLForm form(page, fields);
  form.CopyInput(name);
  form.CopyTextArea(name);
  form.CopySelected(name);
  form.SelectOptionByText(name, text);
  const std::size_t before = fields.size();
  if (form.BumpTitleCounter(name)) Check(form.TitleMissing() || fields.size() == before + 1);
  for (const auto& [field, field_value] : fields) Bounded(field_value, page);
  TFormFields custom;
  for (std::size_t i = 0; i < 8 && i < page.size(); ++i)
    custom.emplace_back(std::string(1, page[i]), std::string(text));
  form.AddCustomFields(custom);
  CustomFieldValue(custom, name);
  return 0;
}

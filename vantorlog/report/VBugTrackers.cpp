#include "VBugTrackers.h"

#include <cstdlib>
#include <initializer_list>

#include "core/VTextUtils.h"

namespace VBugTrackers {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameTextAt(std::string_view text, std::size_t at, std::string_view sub) {
  if (at > text.size() || text.size() - at < sub.size()) return false;
  for (std::size_t i = 0; i < sub.size(); ++i)
    if (Lower(text[at + i]) != Lower(sub[i])) return false;
  return true;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && SameTextAt(a, 0, b);
}

std::size_t FindText(std::string_view text, std::string_view sub, std::size_t from = 0) {
  if (sub.empty()) return from <= text.size() ? from : std::string_view::npos;
  for (std::size_t i = from; i + sub.size() <= text.size(); ++i)
    if (SameTextAt(text, i, sub)) return i;
  return std::string_view::npos;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void AppendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Numeric references (a byte below 256, UTF-8 above) and the references of the characters
// HTML must escape; anything else stays as it is.
std::string DecodeReferences(std::string_view text) {
  static const struct {
    const char* name;
    char c;
  } kNamed[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    if (i + 2 < text.size() && text[i + 1] == '#') {
      const bool hex = text[i + 2] == 'x' || text[i + 2] == 'X';
      std::size_t j = i + (hex ? 3 : 2);
      unsigned long code = 0;
      std::size_t digits = 0;
      for (; j < text.size() && digits < 8; ++j, ++digits) {
        const char c = text[j];
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        if (d < 0) break;
        code = code * (hex ? 16 : 10) + static_cast<unsigned long>(d);
      }
      if (digits > 0 && j < text.size() && text[j] == ';' && code <= 0x10FFFF) {
        if (code < 256)
          out += static_cast<char>(code);
        else
          AppendUtf8(out, code);
        i = j + 1;
        continue;
      }
    }
    bool named = false;
    for (const auto& n : kNamed) {
      const std::string_view name = n.name;
      if (SameTextAt(text, i, name)) {
        out += n.c;
        i += name.size();
        named = true;
        break;
      }
    }
    if (!named) out += text[i++];
  }
  return out;
}

// Scans from the start text at from to the first of the end texts that stands outside quoted
// attribute values (quotes count inside tags only, so an apostrophe in a page's text does not
// hide the end). Gives the piece from the start text up to (without) the end text.
struct TPiece {
  std::string_view text;  // start text included, end text excluded
  std::string_view end;   // the end text found
  std::size_t next = std::string_view::npos;
};
bool FindPiece(std::string_view body, std::size_t from, std::string_view start,
               std::initializer_list<std::string_view> ends, TPiece* piece) {
  const std::size_t begin = FindText(body, start, from);
  if (begin == std::string_view::npos) return false;
  bool in_tag = true;
  char quote = 0;
  for (std::size_t i = begin + start.size(); i < body.size(); ++i) {
    const char c = body[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    for (const std::string_view e : ends) {
      if (SameTextAt(body, i, e)) {
        piece->text = body.substr(begin, i - begin);
        piece->end = body.substr(i, e.size());
        piece->next = i + e.size();
        return true;
      }
    }
    if (in_tag && (c == '"' || c == '\'')) quote = c;
    if (c == '<') in_tag = true;
    if (c == '>') in_tag = false;
  }
  return false;
}

// The opening tag of a piece (up to its first unquoted ">") and the rest after it.
void SplitTag(std::string_view piece, std::string_view* tag, std::string_view* rest) {
  char quote = 0;
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      *tag = piece.substr(0, i);
      *rest = piece.substr(i + 1);
      return;
    }
  }
  *tag = piece;
  *rest = {};
}

// The tag with the blanks around each unquoted "=" removed.
std::string CompactTag(std::string_view tag) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < tag.size(); ++i) {
    const char c = tag[i];
    if (quote) {
      if (c == quote) quote = 0;
      out += c;
      continue;
    }
    if (c == '"' || c == '\'') quote = c;
    if (c == '=') {
      while (!out.empty() && IsBlank(out.back())) out.pop_back();
      out += c;
      while (i + 1 < tag.size() && IsBlank(tag[i + 1])) ++i;
      continue;
    }
    out += c;
  }
  return out;
}

// The value of an attribute ("name", "value") of a tag: the text after "attr=" up to an
// unquoted blank, ">" or "/>", without one pair of enclosing quotes, references decoded. Only
// an attribute standing on its own counts ("username=" is not "name=").
bool Attribute(std::string_view raw_tag, std::string_view attr, std::string* value) {
  const std::string tag = CompactTag(raw_tag);
  const std::string key = std::string(attr) + "=";
  char quote = 0;
  for (std::size_t i = 0; i < tag.size(); ++i) {
    const char c = tag[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    if ((i == 0 || IsBlank(tag[i - 1])) && SameTextAt(tag, i, key)) {
      std::size_t j = i + key.size();
      const std::size_t start = j;
      char q = 0;
      for (; j < tag.size(); ++j) {
        const char d = tag[j];
        if (q) {
          if (d == q) q = 0;
          continue;
        }
        if (d == '"' || d == '\'') {
          q = d;
          continue;
        }
        if (IsBlank(d) || d == '>' || (d == '/' && j + 1 < tag.size() && tag[j + 1] == '>')) break;
      }
      std::string_view v = std::string_view(tag).substr(start, j - start);
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      *value = DecodeReferences(v);
      return true;
    }
  }
  return false;
}

bool NameIs(std::string_view tag, std::string_view name) {
  std::string n;
  return Attribute(tag, "name", &n) && SameText(n, name);
}

// The select named name: its options, each as (opening tag, visible text).
template <class F>
bool ForEachOption(std::string_view body, std::string_view name, F&& f) {
  TPiece select;
  for (std::size_t from = 0; FindPiece(body, from, "<select ", {"</select>"}, &select);
       from = select.next) {
    std::string_view tag, rest;
    SplitTag(select.text, &tag, &rest);
    if (!NameIs(tag, name)) continue;
    TPiece option;
    for (std::size_t at = 0; FindPiece(rest, at, "<option ", {"</option>"}, &option);
         at = option.next) {
      std::string_view otag, text;
      SplitTag(option.text, &otag, &text);
      if (f(otag, text)) return true;
    }
    return false;
  }
  return false;
}

// The visible text of an option: trimmed, each entity (from "&" up to the next blank) removed.
std::string VisibleText(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      while (i < text.size() && !IsBlank(text[i])) ++i;
      if (i == text.size()) break;
    }
    out += text[i];
  }
  return VCore::Trim(out);
}

}  // namespace

TResultText ResultText(int code) {
  switch (code) {
    case trClosed:
      return {146, "These BUG is just closed.\r\nContact the program support to obtain an update."};
    case trLoginFailed:
      return {148, "Invalid login request."};
    case trSelectFailed:
      return {150, "Invalid selection request."};
    case trSearchFailed:
      return {149, "Invalid search request."};
    case trInsertFailed:
      return {151, "Invalid insert request."};
    case trModifyFailed:
      return {152, "Invalid modify request."};
    default:
      return {0, ""};
  }
}

bool InputValue(std::string_view body, std::string_view name, std::string* value) {
  TPiece input;
  for (std::size_t from = 0; FindPiece(body, from, "<input ", {"/>", ">"}, &input);
       from = input.next) {
    if (!NameIs(input.text, name)) continue;
    std::string v;
    if (Attribute(input.text, "value", &v) && !v.empty()) {
      *value = v;
      return true;
    }
  }
  return false;
}

bool TextAreaText(std::string_view body, std::string_view name, std::string* text) {
  TPiece area;
  for (std::size_t from = 0; FindPiece(body, from, "<textarea ", {"</textarea>", "/>"}, &area);
       from = area.next) {
    std::string_view tag, rest;
    SplitTag(area.text, &tag, &rest);
    if (!NameIs(tag, name)) continue;
    *text = DecodeReferences(rest);
    return true;
  }
  return false;
}

bool SelectedValue(std::string_view body, std::string_view name, std::string* value) {
  return ForEachOption(body, name, [&](std::string_view tag, std::string_view) {
    if (FindText(tag, "selected") == std::string_view::npos) return false;
    std::string v;
    Attribute(tag, "value", &v);
    *value = v;
    return true;
  });
}

bool OptionValueByText(std::string_view body, std::string_view name, std::string_view text,
                       std::string* value) {
  return ForEachOption(body, name, [&](std::string_view tag, std::string_view shown) {
    // A name holding an escaped character ("O&#39;Brien") is found by its decoded text too.
    if (VisibleText(shown) != text && VCore::Trim(DecodeReferences(shown)) != text) return false;
    std::string v;
    Attribute(tag, "value", &v);
    *value = v;
    return true;
  });
}

std::string TextAfter(std::string_view body, std::string_view marker, int n) {
  if (marker.empty() || n < 1) return {};
  const std::string lower = VCore::LowerCase(body);
  const std::string key = VCore::LowerCase(marker);
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) {
    at = lower.find(key, i == 0 ? 0 : at + key.size());
    if (at == std::string::npos) return {};
  }
  const std::size_t start = at + key.size();
  const std::size_t stop = lower.find_first_of(" \"&'<>\\", start);
  return lower.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
}

bool TextBetween(std::string_view body, std::string_view start, char stop, std::string* text) {
  const std::size_t at = FindText(body, start);
  if (at == std::string_view::npos) return false;
  const std::size_t from = at + start.size();
  const std::size_t end = body.find(stop, from);
  *text = std::string(body.substr(from, end == std::string_view::npos ? end : end - from));
  return true;
}

bool ContainsText(std::string_view body, std::string_view text) {
  return FindText(body, text) != std::string_view::npos;
}

bool BumpedTitle(std::string_view title, std::string* new_title) {
  *new_title = std::string(title);
  const std::size_t dash = title.find(" - ");
  if (dash == std::string_view::npos) return true;
  const std::size_t from = dash + 3;
  const std::size_t close = title.find(']', from);
  const std::size_t to = close == std::string_view::npos ? title.size() : close;
  const std::string number = VCore::Trim(title.substr(from, to - from));
  if (number.empty() || number.size() > 9 ||
      number.find_first_not_of("0123456789") != std::string::npos)
    return true;
  const long n = std::strtol(number.c_str(), nullptr, 10);
  if (n >= 9999) return false;
  *new_title =
      std::string(title.substr(0, from)) + std::to_string(n + 1) + std::string(title.substr(to));
  return true;
}

bool CheckPage(std::string_view document, std::string_view body, std::string_view page,
               std::string_view contain, std::string_view not_contain) {
  if (!page.empty() && !SameText(document, page)) return false;
  if (!contain.empty() && !ContainsText(body, contain)) return false;
  if (!not_contain.empty() && ContainsText(body, not_contain)) return false;
  return true;
}

std::string NewBugTitle(std::string_view version, std::string_view class_text,
                        std::string_view bug_id) {
  return "[v" + std::string(version) + " - 1]: " + std::string(class_text) + " (" +
         std::string(bug_id) + ")";
}

std::string SearchText(std::string_view class_text, std::string_view bug_id) {
  return std::string(class_text) + " (" + std::string(bug_id) + ")";
}

std::string JoinReproduceText(std::string_view message, std::string_view reproduce) {
  if (reproduce.empty()) return std::string(message);
  return std::string(message) + "\r\n\r\n---\r\n\r\n" + std::string(reproduce);
}

std::string CustomFieldValue(const TFormFields& fields, std::string_view name) {
  for (const auto& [n, v] : fields)
    if (n == name) return v;
  return {};
}

std::string AddressWithLogin(std::string_view address, std::string_view login,
                             std::string_view password, std::uint16_t port) {
  std::string out(address);
  if (!login.empty() || !password.empty()) {
    const std::string credentials = std::string(login) + ":" + std::string(password) + "@";
    const std::size_t scheme = out.find("://");
    out.insert(scheme == std::string::npos ? 0 : scheme + 3, credentials);
  }
  if (port != 0) out += ":" + std::to_string(port);
  return out;
}

void THTMLForm::AddField(std::string_view name, std::string_view value) {
  fields_.emplace_back(std::string(name), std::string(value));
}

void THTMLForm::CopyInput(std::string_view name) {
  std::string value;
  if (InputValue(body_, name, &value)) AddField(name, value);
}

void THTMLForm::CopyTextArea(std::string_view name) {
  std::string text;
  if (TextAreaText(body_, name, &text)) AddField(name, text);
}

bool THTMLForm::CopySelected(std::string_view name) {
  std::string value;
  if (!SelectedValue(body_, name, &value)) return false;
  AddField(name, value);
  return true;
}

void THTMLForm::SelectOptionByText(std::string_view name, std::string_view text) {
  std::string value;
  if (OptionValueByText(body_, name, text, &value))
    AddField(name, value);
  else
    CopySelected(name);
}

bool THTMLForm::BumpTitleCounter(std::string_view name) {
  std::string title, bumped;
  title_missing_ = !InputValue(body_, name, &title);
  if (title_missing_) return true;
  if (!BumpedTitle(title, &bumped)) return false;
  AddField(name, bumped);
  return true;
}

void THTMLForm::AddCustomFields(const TFormFields& custom) {
  if (custom.size() < 5) return;
  for (std::size_t i = 0; i + 4 < custom.size(); ++i) fields_.push_back(custom[i]);
}

}  // namespace VBugTrackers

namespace ExceptionLog {

std::string TrackerWarningText(const std::string& code_text, std::uint32_t error_code,
                               const std::string& error_text) {
  return code_text + "\r\n\r\nError Code: " + std::to_string(error_code) + "\r\nError Message: \"" +
         error_text + "\"";
}

}  // namespace ExceptionLog

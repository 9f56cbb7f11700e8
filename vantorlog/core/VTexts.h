// The library's text table: the customizable texts 0-157 that every options object starts
// with. Report field captions and environment-variable texts continue the same table from 158.
#pragma once

namespace VCore {

// Number of customizable texts an options object holds.
inline constexpr int kCustomTextCount = 158;

// Entries in the table (at least kCustomTextCount).
int TextTableSize();
// The default text of an index; "" outside the table.
const char* DefaultText(int index);

}  // namespace VCore

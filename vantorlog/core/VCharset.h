// The system's default ANSI character set (for the dialogs' fonts and rich text).
#pragma once

namespace VCore {
int DefaultAnsiCharset();
}

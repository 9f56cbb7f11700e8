// Writing a memory image to a file so that readers never see half of it.
#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace phone_sim {

// Writes through `write` into path + ".tmp", then renames it over `path`. Returns "" or the
// reason it failed (the temporary file is then removed).
std::string WriteFileAtomically(const std::string& path,
                                const std::function<void(std::ostream&)>& write);

}  // namespace phone_sim

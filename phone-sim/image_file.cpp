#include "image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace phone_sim {

std::string WriteFileAtomically(const std::string& path,
                                const std::function<void(std::ostream&)>& write) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot create " + temp + ": " + std::strerror(errno);
    write(out);
    out.flush();
    if (!out) {
      std::remove(temp.c_str());
      return "cannot write " + temp;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    std::string error = "cannot rename " + temp + " to " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return error;
  }
  return "";
}

}  // namespace phone_sim

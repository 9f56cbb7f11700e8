// Fixtures written by the independent Python peer at build time.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fixtures {

inline std::string Path(const std::string& name) { return std::string(VL_FIXTURES) + "/" + name; }

inline std::string ReadFile(const std::string& name) {
  std::ifstream f(Path(name), std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

inline std::vector<std::vector<std::string>> ReadTable(const std::string& name) {
  std::ifstream f(Path(name));
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string w; words >> w;) row.push_back(w);
    if (!row.empty()) rows.push_back(row);
  }
  return rows;
}

// "-" stands for the empty byte string.
inline std::string FromHex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

}  // namespace fixtures

// Writes the archives that check_zip.sh tests with unzip and zipinfo.
// Usage: zip_writer <folder>
#include <cstdio>
#include <fstream>
#include <string>

#include "VZip.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string dir = argv[1];
  const std::string a = dir + "/report.txt", b = dir + "/second.log", empty = dir + "/empty.dat";
  {
    std::ofstream f(a, std::ios::binary);
    for (int i = 0; i < 2000; ++i) f << "line " << i << " of the report\r\n";
  }
  {
    std::ofstream f(b, std::ios::binary);
    for (int i = 0; i < 256; ++i) f.put(static_cast<char>(i));
  }
  { std::ofstream f(empty, std::ios::binary); }
  bool ok = ExceptionLog::ZipFiles(dir + "/plain.zip", "", {a, b, empty});
  ok = ExceptionLog::ZipFiles(dir + "/secret.zip", "pw", {a, b}) && ok;
  std::printf("%s\n", ok ? "written" : "failed");
  return ok ? 0 : 1;
}

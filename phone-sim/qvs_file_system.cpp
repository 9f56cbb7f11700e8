#include "qvs_file_system.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <system_error>
#include <utility>

namespace phone_sim {

namespace fs = std::filesystem;

namespace {

constexpr char kDriveNames[kQvsDriveCount] = {'a', 'b', 'c'};

std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  std::int64_t yoe = y - era * 400;
  std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int* y, int* m, int* d) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

std::string ValidName(const std::string& name) {
  if (name == "." || name == "..") return "name \"" + name + "\" not allowed";
  if (name.size() > QvsFileSystem::kMaxNameLength) {
    return "name of " + std::to_string(name.size()) + " bytes, more than " +
           std::to_string(QvsFileSystem::kMaxNameLength);
  }
  return "";
}

constexpr std::size_t kPad = 512;

void AppendPadded(Bytes& out, ByteSpan data) {
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), (kPad - data.size() % kPad) % kPad, 0xFF);
}

}  // namespace

std::string QvsPath::Text() const {
  std::string text = std::string("/") + kDriveNames[drive];
  for (const std::string& part : parts) text += "/" + part;
  return text;
}

std::string ParseQvsPath(ByteSpan name, int selected_drive, QvsPath* path) {
  if (!name.empty() && name.back() == 0) name = name.first(name.size() - 1);
  if (std::find(name.begin(), name.end(), 0) != name.end()) return "zero byte inside the name";
  QvsPath out;
  out.drive = selected_drive;
  std::string text(name.begin(), name.end());
  std::size_t i = 0;
  bool first = true;
  while (i <= text.size()) {
    std::size_t slash = text.find('/', i);
    if (slash == std::string::npos) slash = text.size();
    std::string part = text.substr(i, slash - i);
    i = slash + 1;
    if (part.empty()) continue;
    if (first && part.size() == 1 && part[0] >= 'a' && part[0] <= 'c') {
      out.drive = part[0] - 'a';
      first = false;
      continue;
    }
    first = false;
    std::string error = ValidName(part);
    if (!error.empty()) return error;
    out.parts.push_back(std::move(part));
  }
  *path = std::move(out);
  return "";
}

std::optional<std::uint32_t> QvsSecondsOf(int year, int month, int day, int hour, int minute,
                                          int second) {
  if (year < 1980 || year > 2107 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59) {
    return std::nullopt;
  }
  std::int64_t days = DaysFromCivil(year, month, day) - DaysFromCivil(1980, 1, 1);
  return static_cast<std::uint32_t>(days * 86400 + hour * 3600 + minute * 60 + second);
}

std::uint32_t DosDateTime(std::uint32_t seconds) {
  int y, m, d;
  CivilFromDays(DaysFromCivil(1980, 1, 1) + seconds / 86400, &y, &m, &d);
  if (y > 2107) y = 2107;
  std::uint32_t in_day = seconds % 86400;
  std::uint32_t date = static_cast<std::uint32_t>((y - 1980) << 9 | m << 5 | d);
  std::uint32_t time = (in_day / 3600) << 11 | (in_day / 60 % 60) << 5 | (in_day % 60) / 2;
  return date << 16 | time;
}

QvsFileSystem::QvsFileSystem(std::array<std::uint32_t, kQvsDriveCount> drive_blocks,
                             std::uint32_t time) {
  Format(drive_blocks, time);
}

void QvsFileSystem::Format(std::array<std::uint32_t, kQvsDriveCount> drive_blocks,
                           std::uint32_t time) {
  formatted_ = true;
  total_blocks_ = drive_blocks;
  next_inode_ = 1;
  for (Node& root : drives_) {
    root = Node{};
    root.directory = true;
    root.inode = next_inode_++;
    root.time = time;
  }
  version_.reset();
  release_.reset();
}

void QvsFileSystem::Unformat() {
  Format({0, 0, 0}, 0);
  formatted_ = false;
}

QvsFileSystem::Node* QvsFileSystem::Find(const QvsPath& path, std::size_t depth) {
  return const_cast<Node*>(std::as_const(*this).Find(path, depth));
}

const QvsFileSystem::Node* QvsFileSystem::Find(const QvsPath& path, std::size_t depth) const {
  const Node* node = &drives_[path.drive];
  for (std::size_t i = 0; i < depth; ++i) {
    if (!node->directory) return nullptr;
    auto it = node->children.find(path.parts[i]);
    if (it == node->children.end()) return nullptr;
    node = &it->second;
  }
  return node;
}

std::uint32_t QvsFileSystem::Blocks(const Node& node) {
  if (!node.directory) {
    return static_cast<std::uint32_t>(std::max<std::size_t>(node.reserved, node.data.size()) /
                                      kBlockSize) +
           1;
  }
  std::uint32_t blocks = 1;
  for (const auto& [name, child] : node.children) blocks += Blocks(child);
  return blocks;
}

std::uint32_t QvsFileSystem::UsedBlocks(int drive) const { return Blocks(drives_[drive]) - 1; }

std::string QvsFileSystem::MakeDir(const QvsPath& path, std::uint32_t time) {
  if (!formatted_) return "not formatted";
  if (path.parts.empty()) return "";
  Node* parent = Find(path, path.parts.size() - 1);
  if (!parent || !parent->directory) return "no directory to hold " + path.Text();
  auto it = parent->children.find(path.parts.back());
  if (it != parent->children.end()) {
    return it->second.directory ? "" : path.Text() + " is a file";
  }
  if (UsedBlocks(path.drive) + 1 > total_blocks_[path.drive]) return "drive full";
  Node dir;
  dir.directory = true;
  dir.inode = next_inode_++;
  dir.time = time;
  parent->children.emplace(path.parts.back(), std::move(dir));
  parent->time = time;
  return "";
}

std::string QvsFileSystem::CreateFile(const QvsPath& path, std::uint32_t size, std::uint32_t time) {
  if (!formatted_) return "not formatted";
  if (path.parts.empty()) return "no file name";
  Node* parent = Find(path, path.parts.size() - 1);
  if (!parent || !parent->directory) return "no directory to hold " + path.Text();
  auto it = parent->children.find(path.parts.back());
  std::uint32_t freed = 0;
  if (it != parent->children.end()) {
    if (it->second.directory) return path.Text() + " is a directory";
    freed = Blocks(it->second);
  }
  std::uint32_t need = size / kBlockSize + 1;
  if (UsedBlocks(path.drive) - freed + need > total_blocks_[path.drive]) {
    return "drive full: " + std::to_string(need) + " blocks needed, " +
           std::to_string(total_blocks_[path.drive] - (UsedBlocks(path.drive) - freed)) + " free";
  }
  Node file;
  file.reserved = size;
  file.inode = it != parent->children.end() ? it->second.inode : next_inode_++;
  file.time = time;
  parent->children[path.parts.back()] = std::move(file);
  parent->time = time;
  return "";
}

std::string QvsFileSystem::Append(const QvsPath& path, ByteSpan data) {
  Node* node = Find(path, path.parts.size());
  if (!node || node->directory) return "no file " + path.Text();
  if (node->data.size() + data.size() > node->reserved) return "more bytes than announced";
  node->data.insert(node->data.end(), data.begin(), data.end());
  return "";
}

std::string QvsFileSystem::List(const QvsPath& path, std::vector<Entry>* entries) const {
  if (!formatted_) return "not formatted";
  const Node* node = Find(path, path.parts.size());
  if (!node) return "no directory " + path.Text();
  if (!node->directory) return path.Text() + " is a file";
  entries->clear();
  for (const auto& [name, child] : node->children) entries->push_back({name, child.directory});
  return "";
}

std::string QvsFileSystem::Read(const QvsPath& path, Bytes* data) const {
  if (!formatted_) return "not formatted";
  const Node* node = Find(path, path.parts.size());
  if (!node) return "no file " + path.Text();
  if (node->directory) return path.Text() + " is a directory";
  *data = node->data;
  return "";
}

std::string QvsFileSystem::Delete(const QvsPath& path) {
  if (!formatted_) return "not formatted";
  if (path.parts.empty()) return "a drive cannot be deleted";
  Node* parent = Find(path, path.parts.size() - 1);
  auto it = parent && parent->directory ? parent->children.find(path.parts.back())
                                        : std::map<std::string, Node>::iterator{};
  if (!parent || !parent->directory || it == parent->children.end()) {
    return "no file " + path.Text();
  }
  if (it->second.directory) return path.Text() + " is a directory";
  parent->children.erase(it);
  return "";
}

std::string QvsFileSystem::Stat(const QvsPath& path, Info* info) const {
  if (!formatted_) return "not formatted";
  const Node* node = Find(path, path.parts.size());
  if (!node) return "no file " + path.Text();
  *info = {node->directory, static_cast<std::uint32_t>(node->data.size()), node->inode, node->time};
  return "";
}

QvsFileSystem::DriveStats QvsFileSystem::Stats(int drive) const {
  DriveStats stats;
  stats.total_blocks = total_blocks_[drive];
  std::uint32_t used = UsedBlocks(drive);
  stats.free_blocks = used < stats.total_blocks ? stats.total_blocks - used : 0;
  std::function<std::uint32_t(const Node&)> count = [&](const Node& n) {
    std::uint32_t c = 0;
    for (const auto& [name, child] : n.children) c += 1 + count(child);
    return c;
  };
  stats.nodes = count(drives_[drive]);
  return stats;
}

Bytes QvsFileSystem::Image() const {
  Bytes out;
  auto header = [&](char kind, std::uint32_t size, const std::string& path) {
    Bytes h = {'Q', 'V', 'S', static_cast<std::uint8_t>(kind)};
    PutBigEndian32(h, size);
    PutBigEndian16(h, static_cast<std::uint16_t>(path.size()));
    h.insert(h.end(), path.begin(), path.end());
    AppendPadded(out, h);
  };
  if (version_) {
    header('V', static_cast<std::uint32_t>(version_->size()), "");
    AppendPadded(out, *version_);
  }
  if (release_) {
    header('R', static_cast<std::uint32_t>(release_->size()), "");
    AppendPadded(out, *release_);
  }
  std::function<void(const Node&, const std::string&)> walk = [&](const Node& node,
                                                                  const std::string& path) {
    for (const auto& [name, child] : node.children) {
      std::string p = path + "/" + name;
      header(child.directory ? 'D' : 'F', static_cast<std::uint32_t>(child.data.size()), p);
      if (child.directory) {
        walk(child, p);
      } else {
        AppendPadded(out, child.data);
      }
    }
  };
  for (int d = 0; d < kQvsDriveCount; ++d) walk(drives_[d], std::string("/") + kDriveNames[d]);
  return out;
}

std::vector<std::string> QvsFileSystem::Describe() const {
  if (!formatted_) return {"unformatted"};
  std::vector<std::string> lines;
  if (version_) lines.push_back("V " + HexString(*version_));
  if (release_) lines.push_back("R " + HexString(*release_));
  std::function<void(const Node&, const std::string&)> walk = [&](const Node& node,
                                                                  const std::string& path) {
    for (const auto& [name, child] : node.children) {
      std::string p = path + "/" + name;
      if (child.directory) {
        lines.push_back("D " + p);
        walk(child, p);
      } else {
        lines.push_back("F " + p + " " + std::to_string(child.data.size()));
      }
    }
  };
  for (int d = 0; d < kQvsDriveCount; ++d) {
    DriveStats s = Stats(d);
    lines.push_back(std::string("drive ") + kDriveNames[d] + " total=" +
                    std::to_string(s.total_blocks) + " free=" + std::to_string(s.free_blocks));
    walk(drives_[d], std::string("/") + kDriveNames[d]);
  }
  return lines;
}

namespace {

std::string WriteBytes(const fs::path& path, ByteSpan data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.flush();
  return out ? "" : "cannot write " + path.string();
}

std::string ReadBytes(const fs::path& path, Bytes* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open " + path.string();
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? "cannot read " + path.string() : "";
}

}  // namespace

std::string QvsFileSystem::Save(const std::string& dir) const {
  if (!formatted_) return "the file system is not formatted";
  std::error_code ec;
  fs::path root(dir);
  if (fs::exists(root, ec)) {
    if (!fs::is_directory(root, ec)) return dir + " is not a folder";
    if (!fs::is_empty(root, ec)) return dir + " is not empty";
  } else if (!fs::create_directories(root, ec)) {
    return "cannot create " + dir + ": " + ec.message();
  }
  std::function<std::string(const Node&, const fs::path&)> walk = [&](const Node& node,
                                                                      const fs::path& at) {
    if (!fs::create_directory(at, ec) && ec) return "cannot create " + at.string();
    for (const auto& [name, child] : node.children) {
      std::string error =
          child.directory ? walk(child, at / name) : WriteBytes(at / name, child.data);
      if (!error.empty()) return error;
    }
    return std::string();
  };
  for (int d = 0; d < kQvsDriveCount; ++d) {
    std::string error = walk(drives_[d], root / std::string(1, kDriveNames[d]));
    if (!error.empty()) return error;
  }
  if (version_) {
    std::string error = WriteBytes(root / "VERSION", *version_);
    if (!error.empty()) return error;
  }
  if (release_) return WriteBytes(root / "RELEASE", *release_);
  return "";
}

std::string QvsFileSystem::Load(const std::string& dir, std::uint32_t time) {
  if (!formatted_) return "the file system is not formatted";
  std::error_code ec;
  fs::path root(dir);
  if (!fs::is_directory(root, ec)) return dir + " is not a folder";
  QvsFileSystem loaded(total_blocks_, time);
  for (const fs::directory_entry& e : fs::directory_iterator(root, ec)) {
    std::string name = e.path().filename().string();
    bool known = (name.size() == 1 && name[0] >= 'a' && name[0] <= 'c' && e.is_directory()) ||
                 ((name == "VERSION" || name == "RELEASE") && e.is_regular_file());
    if (!known) return "unexpected " + e.path().string() + " (a, b, c, VERSION, RELEASE only)";
  }
  if (ec) return "cannot read " + dir + ": " + ec.message();
  for (const char* record : {"VERSION", "RELEASE"}) {
    fs::path p = root / record;
    if (!fs::exists(p, ec)) continue;
    Bytes data;
    std::string error = ReadBytes(p, &data);
    if (!error.empty()) return error;
    std::size_t want = record[0] == 'V' ? kVersionSize : kReleaseSize;
    if (data.size() != want) {
      return p.string() + " holds " + std::to_string(data.size()) + " bytes, not " +
             std::to_string(want);
    }
    if (record[0] == 'V') {
      loaded.version_ = std::move(data);
    } else {
      loaded.release_ = std::move(data);
    }
  }
  std::function<std::string(const fs::path&, QvsPath)> walk = [&](const fs::path& at,
                                                                  QvsPath path) {
    std::vector<fs::directory_entry> entries;
    for (const fs::directory_entry& e : fs::directory_iterator(at, ec)) entries.push_back(e);
    if (ec) return "cannot read " + at.string() + ": " + ec.message();
    std::sort(entries.begin(), entries.end());
    for (const fs::directory_entry& e : entries) {
      QvsPath child = path;
      child.parts.push_back(e.path().filename().string());
      std::string error = ValidName(child.parts.back());
      if (!error.empty()) return e.path().string() + ": " + error;
      if (e.is_directory()) {
        error = loaded.MakeDir(child, time);
        if (error.empty()) error = walk(e.path(), child);
      } else if (e.is_regular_file()) {
        Bytes data;
        error = ReadBytes(e.path(), &data);
        if (error.empty() && data.size() > 0xFFFFFFFFu) error = "file too large";
        if (error.empty())
          error = loaded.CreateFile(child, static_cast<std::uint32_t>(data.size()), time);
        if (error.empty()) error = loaded.Append(child, data);
      } else {
        error = "neither file nor folder";
      }
      if (!error.empty()) return e.path().string() + ": " + error;
    }
    return std::string();
  };
  for (int d = 0; d < kQvsDriveCount; ++d) {
    fs::path p = root / std::string(1, kDriveNames[d]);
    if (!fs::exists(p, ec)) continue;
    QvsPath path;
    path.drive = d;
    std::string error = walk(p, path);
    if (!error.empty()) return error;
  }
  *this = std::move(loaded);
  return "";
}

}  // namespace phone_sim

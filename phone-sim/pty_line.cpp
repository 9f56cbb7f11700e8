#include "pty_line.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace phone_sim {

namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

std::uint32_t BaudOf(speed_t speed) {
  switch (speed) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    case B460800:
      return 460800;
    case B500000:
      return 500000;
    case B576000:
      return 576000;
    case B921600:
      return 921600;
    case B1000000:
      return 1000000;
    default:
      return 0;
  }
}

}  // namespace

PtyLine::~PtyLine() {
  Unlink();
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

std::string PtyLine::Open() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) return Errno("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return Errno("grantpt/unlockpt");
  char name[PATH_MAX];
  if (ptsname_r(master_, name, sizeof name) != 0) return Errno("ptsname");
  slave_path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0) return Errno("open " + slave_path_);
  termios t{};
  if (tcgetattr(slave_, &t) != 0) return Errno("tcgetattr");
  cfmakeraw(&t);  // keeps the speed: the host sets its own
  if (tcsetattr(slave_, TCSANOW, &t) != 0) return Errno("tcsetattr");
  int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) return Errno("fcntl");
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  return "";
}

std::string PtyLine::Link(const std::string& prefix, int com) {
  std::string dir = prefix + "/dosdevices";
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return Errno("mkdir " + dir);
  int first = com > 0 ? com : 3;
  int last = com > 0 ? com : 256;
  for (int n = first; n <= last; ++n) {
    std::string path = dir + "/com" + std::to_string(n);
    if (symlink(slave_path_.c_str(), path.c_str()) == 0) {
      link_path_ = path;
      com_ = n;
      return "";
    }
    if (errno != EEXIST) return Errno("symlink " + path);
  }
  return com > 0 ? "COM" + std::to_string(com) + " is taken in " + dir
                 : "no free COM number in " + dir;
}

void PtyLine::Unlink() {
  if (link_path_.empty()) return;
  char target[PATH_MAX];
  ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
  if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slave_path_) {
    unlink(link_path_.c_str());
  }
  link_path_.clear();
}

void PtyLine::Close() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}

std::string PtyLine::Replug(const std::string& prefix) {
  Close();
  const std::string old_link = link_path_;
  std::string error = Open();
  if (error.empty()) error = Link(prefix, 0);  // the old link still holds its number
  if (!old_link.empty() && old_link != link_path_) unlink(old_link.c_str());
  return error;
}

std::uint32_t PtyLine::HostBaud() const {
  termios t{};
  if (tcgetattr(slave_, &t) != 0) return 0;
  return BaudOf(cfgetospeed(&t));
}

std::size_t PtyLine::UnreadByHost() const {
  int n = 0;
  if (ioctl(slave_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<std::size_t>(n);
}

std::size_t PtyLine::UnreadFromHost() const {
  int n = 0;
  if (ioctl(master_, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<std::size_t>(n);
}

}  // namespace phone_sim

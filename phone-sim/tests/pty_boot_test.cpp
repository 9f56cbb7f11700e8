// The phone-sim program end to end: a host written here with termios on the COM link the
// program puts into a prefix, and its control server over TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "test_host.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using phone_sim_test::Be32;
using phone_sim_test::BootChip;
using phone_sim_test::BootImages;
using phone_sim_test::Bytes;
using phone_sim_test::ByteSum;

Bytes ReadImage(const std::string& name) {
  std::ifstream in(std::string(PHONE_IMAGES_DIR) + "/" + name + ".bin", std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

BootImages MasterImages() {
  return {ReadImage("KESTA_PNX6512_V05_PRE"), ReadImage("KESTA_PNX6512_V05")};
}
BootImages SlaveImages() {
  return {ReadImage("KESTA_PNX5231_V05_PRE"), ReadImage("KESTA_PNX5231_V05")};
}

speed_t SpeedOf(std::uint32_t baud) {
  switch (baud) {
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 921600:
      return B921600;
    default:
      return B9600;
  }
}

// The host's end: the COM link opened like a serial port.
class PortLine : public phone_sim_test::TestLine {
 public:
  explicit PortLine(const std::string& path) { Open(path); }
  ~PortLine() override { Close(); }

  void Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd_, 0) << path;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cflag |= PARENB;  // 8E1 as the host asks; the terminal keeps 8N1
    tcsetattr(fd_, TCSANOW, &t);
    tcflush(fd_, TCIOFLUSH);
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void Write(const Bytes& bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  Bytes Read(std::size_t count, std::chrono::milliseconds timeout) override {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buffer[16384];
      ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n > 0) out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }
  void SetBaud(std::uint32_t baud) override {
    termios t{};
    tcgetattr(fd_, &t);
    cfsetispeed(&t, SpeedOf(baud));
    cfsetospeed(&t, SpeedOf(baud));
    tcsetattr(fd_, TCSANOW, &t);
  }
  void Pause(std::chrono::milliseconds time) override { std::this_thread::sleep_for(time); }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// One phone-sim process in a prefix of its own (or a shared one).
class SimProcess {
 public:
  SimProcess(const fs::path& prefix, std::vector<std::string> extra = {}) : prefix_(prefix) {
    ready_ = prefix / ("ready-" + std::to_string(counter_++));
    std::vector<std::string> args = {PHONE_SIM_EXE,    "--prefix",     prefix.string(),
                                     "--com",          "auto",         "--images",
                                     PHONE_IMAGES_DIR, "--ready-file", ready_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, PHONE_SIM_EXE, nullptr, nullptr, argv.data(), environ), 0);
    for (int i = 0; i < 400 && !fs::exists(ready_); ++i) std::this_thread::sleep_for(10ms);
    std::ifstream in(ready_);
    std::string line;
    while (std::getline(in, line)) {
      if (line.starts_with("PHONE_SIM_COM=")) com_ = line.substr(14);
      if (line.starts_with("PHONE_SIM_CONTROL=127.0.0.1:")) port_ = std::stoi(line.substr(28));
    }
  }
  ~SimProcess() {
    if (pid_ > 0) Stop();
  }

  // SIGTERM; the exit status.
  int Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  const std::string& Com() const { return com_; }
  fs::path LinkPath() const {
    std::string n = com_.substr(3);
    return prefix_ / "dosdevices" / ("com" + n);
  }

  // One control command; the whole reply.
  std::string Control(const std::string& command) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd);
      return "connect failed";
    }
    std::string line = command + "\n";
    send(fd, line.data(), line.size(), 0);
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
    close(fd);
    return reply;
  }

 private:
  static inline int counter_ = 0;
  fs::path prefix_, ready_;
  pid_t pid_ = 0;
  std::string com_;
  int port_ = 0;
};

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/phone-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    prefix_ = templ;
  }
  void TearDown() override { fs::remove_all(prefix_); }
  fs::path prefix_;
};

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>(seed * 31 + i * 13 + i / 509);
  return b;
}

// Writes, dumps and erases one sector of the chip on the line.
void WriteDumpErase(PortLine& line, std::uint8_t write_command, std::uint32_t address,
                    std::uint8_t seed) {
  Bytes data = Pattern(8192, seed);
  Bytes replies = phone_sim_test::WriteSector(line, write_command, address, data, 8192);
  ASSERT_EQ(replies.size(), 6u);
  EXPECT_EQ(replies.back(), ByteSum(data));
  Bytes dump = phone_sim_test::DumpBlock(line, address);
  ASSERT_EQ(dump.size(), 8193u);
  EXPECT_EQ(Bytes(dump.begin(), dump.begin() + 8192), data);
  EXPECT_EQ(dump[8192], ByteSum(data));
  EXPECT_EQ(phone_sim_test::EraseSector(line, address), Bytes{ByteSum(Be32(address))});
  dump = phone_sim_test::DumpBlock(line, address);
  ASSERT_EQ(dump.size(), 8193u);
  EXPECT_EQ(Bytes(dump.begin(), dump.begin() + 8192), Bytes(8192, 0xFF));
}

TEST_F(PtyTest, MasterAndSlaveSessionAtBothSpeeds) {
  struct Case {
    std::uint8_t code;
    std::uint32_t baud;
  } cases[] = {{0, 115200}, {3, 921600}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.baud);
    fs::path saved = prefix_ / "master.nor";
    SimProcess sim(prefix_, {"--save-master-nor", saved.string()});
    ASSERT_FALSE(sim.Com().empty());
    PortLine line(sim.LinkPath().string());
    ASSERT_EQ(BootChip(line, MasterImages(), {c.code, c.baud}), "");
    WriteDumpErase(line, 0xC7, 0x20000, 1);
    // A sector left written, to be found in the saved NOR.
    Bytes kept = Pattern(2048, 2);
    phone_sim_test::WriteSector(line, 0xC7, 0x40000, kept, 2048);
    EXPECT_EQ(
        sim.Control("nor-read master 40000 4"), "OK " + [&] {
          char hex[16];
          snprintf(hex, sizeof hex, "%02X%02X%02X%02X", kept[0], kept[1], kept[2], kept[3]);
          return std::string(hex);
        }() + "\n");

    // Slave: the host closes the port, waits, reopens it at the boot settings.
    line.Write({0xCD});
    line.Pause(50ms);
    line.Close();
    std::this_thread::sleep_for(250ms);
    line.Open(sim.LinkPath().string());
    ASSERT_EQ(BootChip(line, SlaveImages(), {c.code, c.baud}), "");
    WriteDumpErase(line, 0xFA, 0x10000, 3);
    std::string state = sim.Control("state");
    EXPECT_NE(state.find("chip=slave stage=boot-loader/ready speed=" + std::to_string(c.baud)),
              std::string::npos)
        << state;
    std::string frames = sim.Control("frames");
    EXPECT_NE(frames.find("\nBL_SWITCH_SLAVE\n"), std::string::npos);
    EXPECT_NE(frames.find("\nBL_WRITE_64K 00010000 pieces=4\n"), std::string::npos);

    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::is_symlink(sim.LinkPath()));
    std::ifstream in(saved, std::ios::binary);
    Bytes nor((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(nor.size(), 32u << 20);
    EXPECT_EQ(Bytes(nor.begin() + 0x40000, nor.begin() + 0x40800), kept);
    EXPECT_EQ(nor[0x20000], 0xFF);
  }
}

TEST_F(PtyTest, DownloaderSession) {
  fs::path saved = prefix_ / "qvs";
  SimProcess sim(prefix_);
  PortLine line(sim.LinkPath().string());
  ASSERT_EQ(BootChip(line, MasterImages(),
                     {3, 921600, /*one_word_frames=*/true,
                      /*chip_version=*/true}),
            "");
  // 5000 bytes into the 128 KiB sector at 0x20000: 2048 + 2048 + 904, the sum, 0xC6.
  Bytes binary = Pattern(5000, 7);
  ASSERT_EQ(phone_sim_test::DownloadBinary(line, 0x20000, binary, 0x20000), "");
  std::string head = sim.Control("nor-read master 20000 4");
  char hex[16];
  snprintf(hex, sizeof hex, "%02X%02X%02X%02X", binary[0], binary[1], binary[2], binary[3]);
  EXPECT_EQ(head, "OK " + std::string(hex) + "\n");
  // A small image: a directory, a file of two blocks and a bit, an empty one.
  phone_sim_test::QvsTestImage image;
  image.dirs = {"/a/", "/a/test"};
  image.files = {{"/a/test/data.bin", Pattern(20000, 3)}, {"/a/test/empty", {}}};
  image.version = Bytes(16, '1');
  ASSERT_EQ(phone_sim_test::DownloadQvs(line, image), "");
  line.Write({0xDA});
  ASSERT_EQ(line.Read(1, 2000ms), Bytes{0xDA});
  std::vector<phone_sim_test::DirRecord> records;
  ASSERT_EQ(phone_sim_test::ListDir(line, std::string("/test") + '\0', &records), "");
  EXPECT_EQ(records, (std::vector<phone_sim_test::DirRecord>{
                         {2, "."}, {2, ".."}, {1, "data.bin"}, {1, "empty"}}));
  // The file system as a folder equals the image.
  ASSERT_EQ(sim.Control("qvs-save master " + saved.string()), "OK\n");
  std::ifstream in(saved / "a" / "test" / "data.bin", std::ios::binary);
  EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            image.files[0].data);
  EXPECT_EQ(fs::file_size(saved / "a" / "test" / "empty"), 0u);
  EXPECT_EQ(fs::file_size(saved / "VERSION"), 16u);
  EXPECT_FALSE(fs::exists(saved / "RELEASE"));
  std::string frames = sim.Control("frames");
  EXPECT_NE(frames.find("\nQVS_FILE_DONE /a/test/data.bin bytes=20000\n"), std::string::npos);
  EXPECT_NE(frames.find("\nBL_WRITE_128K 00020000 pieces=3\n"), std::string::npos);
  // Power-on after the download: the master's boot ROM asks for a host again.
  line.Write({0xFD});
  line.Pause(50ms);
  line.Close();
  line.Open(sim.LinkPath().string());
  line.SetBaud(115200);
  EXPECT_EQ(line.Read(1, 2000ms), Bytes{0x81});
}

TEST_F(PtyTest, SpeedCheckRefusesAHostAtTheWrongSpeed) {
  SimProcess sim(prefix_);
  PortLine line(sim.LinkPath().string());
  // The host asks for 921600 but sets its port to 460800: no answer to LINK_SYNC.
  EXPECT_EQ(BootChip(line, MasterImages(), {3, 460800}), "LINK_SYNC");
  line.SetBaud(921600);
  line.Pause(20ms);
  line.Write({0xD9});
  EXPECT_EQ(line.Read(1, 2000ms), Bytes{0x03});
  std::string frames = sim.Control("frames");
  EXPECT_NE(frames.find("IGNORED 1 bytes (host at 460800 baud, master at 921600): D9"),
            std::string::npos)
      << frames;
  // The boot ROM sends no connect request while the host listens at another speed.
  SimProcess quiet(prefix_);
  PortLine other(quiet.LinkPath().string());
  other.SetBaud(230400);
  EXPECT_TRUE(other.Read(1, 300ms).empty());
  other.SetBaud(115200);
  EXPECT_EQ(other.Read(1, 1000ms), Bytes{0x81});
}

TEST_F(PtyTest, SimulatorsShareAPrefixOnDistinctPortsAndRemoveTheirLinks) {
  auto a = std::make_unique<SimProcess>(prefix_);
  auto b = std::make_unique<SimProcess>(prefix_);
  ASSERT_EQ(a->Com(), "COM3");
  ASSERT_EQ(b->Com(), "COM4");
  EXPECT_EQ(a->Stop(), 0);
  EXPECT_FALSE(fs::is_symlink(a->LinkPath()));
  EXPECT_TRUE(fs::is_symlink(b->LinkPath()));
  SimProcess c(prefix_);
  EXPECT_EQ(c.Com(), "COM3");
  EXPECT_EQ(c.Control("quit"), "OK\n");
  EXPECT_EQ(c.Stop(), 0);
}

TEST_F(PtyTest, UnplugHangsUpTheHostsPortAndReplugBringsTheLineBackAsAnotherPort) {
  SimProcess sim(prefix_);
  const fs::path old_link = sim.LinkPath();
  PortLine line(old_link.string());
  ASSERT_EQ(BootChip(line, MasterImages(), {0, 115200}), "");
  EXPECT_EQ(sim.Control("fault dump-data unplug"), "OK dump-data:unplug:1\n");
  EXPECT_TRUE(phone_sim_test::DumpBlock(line, 0).empty());
  // The host's open port: a hang-up, writes fail, nothing more to read.
  pollfd p{line.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  const std::uint8_t sync = 0xD9;
  EXPECT_EQ(write(line.Fd(), &sync, 1), -1);
  EXPECT_TRUE(line.Read(1, 200ms).empty());
  EXPECT_NE(sim.Control("frames").find("\nFAULT dump-data unplug\n"), std::string::npos);
  line.Close();

  const std::string reply = sim.Control("replug");
  ASSERT_EQ(reply.substr(0, 6), "OK COM") << reply;
  const std::string com = reply.substr(3, reply.size() - 4);
  EXPECT_NE(com, sim.Com());
  EXPECT_FALSE(fs::is_symlink(old_link));
  const fs::path new_link = prefix_ / "dosdevices" / ("com" + com.substr(3));
  ASSERT_TRUE(fs::is_symlink(new_link));
  // The phone stayed in its boot-loader: switched off and on, it boots on the new line.
  EXPECT_EQ(sim.Control("power off"), "OK\n");
  EXPECT_EQ(sim.Control("power on"), "OK\n");
  line.Open(new_link.string());
  ASSERT_EQ(BootChip(line, MasterImages(), {0, 115200}), "");
  EXPECT_EQ(phone_sim_test::DumpBlock(line, 0).size(), 8193u);
  EXPECT_EQ(sim.Stop(), 0);
  EXPECT_FALSE(fs::is_symlink(new_link));
}

TEST_F(PtyTest, ControlErrorsAndPowerOn) {
  SimProcess sim(prefix_, {"--power", "off"});
  PortLine line(sim.LinkPath().string());
  line.SetBaud(115200);
  EXPECT_TRUE(line.Read(1, 300ms).empty());
  EXPECT_EQ(sim.Control("power on"), "OK\n");
  EXPECT_EQ(line.Read(1, 1000ms), Bytes{0x81});
  EXPECT_EQ(sim.Control("fault nowhere drop").substr(0, 4), "ERR ");
  EXPECT_EQ(sim.Control("bogus").substr(0, 4), "ERR ");
  // Several commands on one connection, answered in order.
  EXPECT_EQ(sim.Control("frames-clear\nframes"), "OK\nOK 0\n");
}

TEST_F(PtyTest, WireTimePacesBothDirections) {
  SimProcess sim(prefix_, {"--wire-time"});
  PortLine line(sim.LinkPath().string());
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(BootChip(line, MasterImages(), {3, 921600}), "");
  // The boot-loader's 241968 bytes at 92160 bytes a second (8N1) take 2.6 s on the line.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2600ms);
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(phone_sim_test::DumpBlock(line, 0).size(), 8193u);
  // 4 x 8193 bytes back at the same rate: 0.36 s.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 350ms);
}

TEST_F(PtyTest, StrictWireTimePacesEachMessageAndCountsTheHostsTurns) {
  SimProcess sim(prefix_, {"--wire-strict"});
  PortLine line(sim.LinkPath().string());
  ASSERT_EQ(BootChip(line, MasterImages(), {3, 921600}), "");
  auto frame = [](std::uint8_t command, std::uint32_t value, const Bytes& rest) {
    Bytes b = {command};
    const Bytes v = Be32(value);
    b.insert(b.end(), v.begin(), v.end());
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
  };
  line.Write(frame(0xD4, 8192, {}));
  ASSERT_EQ(line.Read(1, 2000ms).size(), 1u);
  EXPECT_EQ(sim.Control("line-turns-clear"), "OK\n");
  // After the line was idle, a piece still takes its whole wire time: 2053 bytes at 92160
  // bytes a second are 22.3 ms (the lenient pacing lets 5 ms of them through at once).
  line.Pause(50ms);
  const Bytes data = Pattern(8192, 3);
  auto start = std::chrono::steady_clock::now();
  line.Write(frame(0xC7, 0, Bytes(data.begin(), data.begin() + 2048)));
  ASSERT_EQ(line.Read(1, 2000ms).size(), 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 22ms);
  // Three more pieces, each 20 ms after the phone's reply: three turns of about 20 ms.
  for (std::size_t pos = 2048; pos < data.size(); pos += 2048) {
    line.Pause(20ms);
    line.Write(Bytes(data.begin() + pos, data.begin() + pos + 2048));
    ASSERT_EQ(line.Read(1, 2000ms).size(), 1u) << pos;
  }
  ASSERT_EQ(line.Read(1, 2000ms), Bytes{ByteSum(data)});  // the sector's sum
  const std::string turns = sim.Control("line-turns");
  EXPECT_EQ(turns.rfind("OK turns=3 ", 0), 0u) << turns;
  EXPECT_NE(turns.find(" piece_turns=3 "), std::string::npos) << turns;
  // The simulator stamps its reply after the write returns and the host's piece when it wakes:
  // on a loaded machine either stamp may be late by a millisecond or two.
  const double gap = std::stod(turns.substr(turns.find("piece_gap_us=") + 13));
  EXPECT_GE(gap, 17000.0) << turns;
  EXPECT_LT(gap, 30000.0) << turns;
}

}  // namespace

#include "simulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>

namespace phone_sim {

namespace {

std::string ReadFile(const std::string& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open " + path;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.bad() ? "cannot read " + path : "";
}

std::string WriteReadyFile(const std::string& path, const std::string& text) {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return "cannot write " + temp;
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    return "cannot rename " + temp + ": " + std::strerror(errno);
  }
  return "";
}

}  // namespace

std::string LoadPhoneImages(const std::string& dir, PhoneImages* images) {
  struct {
    const char* name;
    Bytes* bytes;
  } files[] = {{"KESTA_PNX6512_V05_PRE", &images->master_pre_loader},
               {"KESTA_PNX6512_V05", &images->master_boot_loader},
               {"KESTA_PNX5231_V05_PRE", &images->slave_pre_loader},
               {"KESTA_PNX5231_V05", &images->slave_boot_loader}};
  for (auto& f : files) {
    std::string error = ReadFile(dir + "/" + f.name + ".bin", f.bytes);
    if (!error.empty()) return error;
    if (f.bytes->empty()) return dir + "/" + f.name + ".bin is empty";
  }
  return "";
}

std::size_t WirePacer::Allowance(Clock::time_point now, double rate) {
  double elapsed = std::chrono::duration<double>(now - last_).count();
  last_ = now;
  // Up to 5 ms of line time may be sent at once: the loop wakes up at about that grain.
  credit_ = std::min(credit_ + elapsed * rate, std::max(1.0, rate * 0.005));
  return credit_ < 1 ? 0 : static_cast<std::size_t>(credit_);
}

Clock::duration WirePacer::UntilNext(double rate, std::size_t count) const {
  const double need = static_cast<double>(std::max<std::size_t>(count, 1));
  if (credit_ >= need) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>((need - credit_) / rate));
}

int Simulator::Run() {
  std::string error = Start();
  if (!error.empty()) {
    std::cerr << "phone-sim: " << error << "\n";
    Stop();
    return 1;
  }
  Loop();
  Stop();
  return 0;
}

std::string Simulator::Start() {
  started_ = Clock::now();
  PhoneImages images;
  std::string error = LoadPhoneImages(options_.images, &images);
  if (!error.empty()) return error;
  std::uint32_t seed = options_.seed ? *options_.seed : std::random_device{}();
  phone_ = std::make_unique<Phone>(std::move(images), options_.powered, seed, started_);
  if (!options_.log.empty()) {
    log_.open(options_.log, std::ios::trunc);
    if (!log_) return "cannot write " + options_.log;
    phone_->Frames().SetSink([this](const std::string& line) {
      double t = std::chrono::duration<double>(Clock::now() - started_).count();
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "%10.3f ", t);
      log_ << stamp << phone_->OnLine().Name() << ' ' << line << '\n';
      log_.flush();
    });
  }
  if (!options_.master_nor.empty()) {
    error = phone_->Master().Nor().Load(options_.master_nor);
    if (!error.empty()) return error;
  }
  if (!options_.slave_nor.empty()) {
    error = phone_->Slave().Nor().Load(options_.slave_nor);
    if (!error.empty()) return error;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal_fd_ = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd_ < 0) return std::string("signalfd: ") + std::strerror(errno);

  error = pty_.Open();
  if (error.empty()) error = pty_.Link(options_.prefix, options_.com);
  if (error.empty()) error = server_.Listen();
  if (!error.empty()) return error;
  std::string com = "COM" + std::to_string(pty_.ComNumber());
  std::cerr << "phone-sim: " << com << " = " << pty_.LinkPath() << " -> " << pty_.SlavePath()
            << ", control 127.0.0.1:" << server_.Port() << "\n";
  if (!options_.ready_file.empty()) {
    error = WriteReadyFile(options_.ready_file, "PHONE_SIM_COM=" + com + "\n" +
                                                    "PHONE_SIM_CONTROL=127.0.0.1:" +
                                                    std::to_string(server_.Port()) + "\n");
  }
  return error;
}

void Simulator::Stop() {
  pty_.Unlink();
  if (phone_) {
    struct {
      const std::string& path;
      Chip& chip;
    } saves[] = {{options_.save_master_nor, phone_->Master()},
                 {options_.save_slave_nor, phone_->Slave()}};
    for (auto& s : saves) {
      if (s.path.empty()) continue;
      std::string error = s.chip.Nor().Save(s.path);
      if (!error.empty()) std::cerr << "phone-sim: " << error << "\n";
    }
    phone_->Frames().FlushIgnored();
  }
  if (signal_fd_ >= 0) close(signal_fd_);
  signal_fd_ = -1;
}

double Simulator::TxRate() const {
  const Chip& chip = phone_->OnLine();
  return static_cast<double>(chip.LineBaud()) / chip.BitsPerChar();
}

double Simulator::RxRate(std::uint32_t host_baud) const {
  const Chip& chip = phone_->OnLine();
  return static_cast<double>(host_baud ? host_baud : chip.LineBaud()) / chip.BitsPerChar();
}

std::string Simulator::Control(const std::string& line) {
  if (line == "line-turns" || line == "line-turns\r") return "OK " + turns_.Describe() + "\n";
  if (line == "line-turns-clear" || line == "line-turns-clear\r") {
    turns_.Clear();
    return "OK\n";
  }
  if (line == "replug") {
    const std::string error = pty_.Replug(options_.prefix);
    if (!error.empty()) return "ERR " + error + "\n";
    std::cerr << "phone-sim: replugged as COM" << pty_.ComNumber() << " = " << pty_.LinkPath()
              << " -> " << pty_.SlavePath() << "\n";
    return "OK COM" + std::to_string(pty_.ComNumber()) + "\n";
  }
  ControlContext context{*phone_, Clock::now(), pty_.HostBaud(),
                         "COM" + std::to_string(pty_.ComNumber())};
  std::string reply = ExecuteControlCommand(line, context);
  if (context.quit) quit_ = true;
  return reply;
}

void Simulator::ReceiveFromHost(Clock::time_point now) {
  std::uint8_t buffer[65536];
  std::size_t want = sizeof buffer;
  if (options_.wire_strict && !rx_busy_) {
    // The first byte of a message was just written: it is on the wire from now on.
    if (pty_.UnreadFromHost() == 0) return;
    rx_busy_ = true;
    rx_.Start(now);
    turns_.HostStarted(now);
  }
  if (options_.wire_time) {
    want = std::min(want, rx_.Allowance(now, RxRate(pty_.HostBaud())));
    if (want == 0) return;
  }
  ssize_t n = read(pty_.MasterFd(), buffer, want);
  if (n <= 0) return;
  if (options_.wire_time) rx_.Used(static_cast<std::size_t>(n));
  turns_.HostBytes(static_cast<std::size_t>(n));
  if (options_.wire_strict && pty_.UnreadFromHost() == 0) {
    rx_busy_ = false;
    turns_.HostEnded();
  }
  // The host's speed as the terminal shows it when the bytes are taken.
  phone_->Receive(ByteSpan(buffer, static_cast<std::size_t>(n)), pty_.HostBaud(), Clock::now());
  if (phone_->Faults().TakeUnplug()) {
    pty_.Close();
    phone_->TakeOutput();  // what was on its way is lost with the adapter
    rx_busy_ = tx_busy_ = false;
  }
}

void Simulator::SendToHost(Clock::time_point now) {
  ByteSpan out = phone_->Output();
  if (out.empty()) return;
  if (options_.wire_strict && !tx_busy_) {
    tx_busy_ = true;
    tx_.Start(now);
  }
  std::size_t want = out.size();
  if (options_.wire_time) {
    want = std::min(want, tx_.Allowance(now, TxRate()));
    if (want == 0) return;
  }
  ssize_t n = write(pty_.MasterFd(), out.data(), want);
  if (n <= 0) return;
  if (options_.wire_time) tx_.Used(static_cast<std::size_t>(n));
  phone_->OutputSent(static_cast<std::size_t>(n));
  if (phone_->Output().empty()) {
    tx_busy_ = false;
    turns_.PhoneSent(Clock::now());
  }
}

void Simulator::Loop() {
  using namespace std::chrono_literals;
  std::vector<pollfd> fds;
  while (!quit_) {
    Clock::time_point now = Clock::now();
    std::uint32_t host_baud = pty_.HostBaud();
    bool idle = phone_->Output().empty() && pty_.UnreadByHost() == 0;
    phone_->Tick(now, host_baud, idle);
    SendToHost(now);

    Clock::duration timeout = 10ms;
    short pty_events = POLLIN;
    // Strict pacing: an idle line waits for the host's next byte; a message on the wire is
    // read as its bytes arrive, a few at a time and its last byte on time.
    constexpr std::size_t kStrictChunk = 32;
    if (options_.wire_time && (!options_.wire_strict || rx_busy_)) {
      rx_.Allowance(now, RxRate(host_baud));
      const std::size_t need =
          options_.wire_strict
              ? std::min(kStrictChunk, std::max<std::size_t>(pty_.UnreadFromHost(), 1))
              : 1;
      const Clock::duration wait = rx_.UntilNext(RxRate(host_baud), need);
      if (wait > Clock::duration::zero()) {
        pty_events = 0;
        timeout = std::min(timeout, wait);
      }
    }
    if (!phone_->Output().empty()) {
      const std::size_t need =
          options_.wire_strict ? std::min(kStrictChunk, phone_->Output().size()) : 1;
      if (options_.wire_strict && !tx_busy_) {
        pty_events |= POLLOUT;  // a reply starts now
      } else if (options_.wire_time && tx_.UntilNext(TxRate(), need) > Clock::duration::zero()) {
        timeout = std::min(timeout, tx_.UntilNext(TxRate(), need));
      } else {
        pty_events |= POLLOUT;
      }
    }
    fds.clear();
    fds.push_back({signal_fd_, POLLIN, 0});
    fds.push_back({pty_.MasterFd(), pty_events, 0});
    server_.AddPollFds(fds);
    timespec ts{0, static_cast<long>(std::chrono::nanoseconds(timeout).count())};
    if (ppoll(fds.data(), fds.size(), &ts, nullptr) < 0 && errno != EINTR) {
      std::cerr << "phone-sim: poll: " << std::strerror(errno) << "\n";
      return;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signal_fd_, &info, sizeof info) > 0) return;
    }
    now = Clock::now();
    if (fds[1].revents & POLLIN) ReceiveFromHost(now);
    SendToHost(now);
    server_.Process(fds, [this](const std::string& line) { return Control(line); });
  }
}

}  // namespace phone_sim

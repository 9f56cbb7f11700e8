// The phone's end of the serial line: a pseudo-terminal whose slave side is linked into a Wine
// prefix as dosdevices/comN. Its own descriptor of the slave side stays open, so the host may
// close and reopen the port, and it reads the host's line speed from the terminal settings.
#pragma once

#include <cstdint>
#include <string>

namespace phone_sim {

class PtyLine {
 public:
  PtyLine() = default;
  ~PtyLine();
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;

  // Opens the pair in raw mode. Error text or "".
  std::string Open();
  // Links the slave side as <prefix>/dosdevices/com<n>; com 0 picks the lowest free number
  // from 3 up. Error text or "".
  std::string Link(const std::string& prefix, int com);
  // Removes the link (when it still points at this terminal).
  void Unlink();
  // The adapter is pulled: both descriptors are closed, so the host's open port sees a hang-up.
  void Close();
  // The adapter is plugged in again: a new pair, linked under another COM number than before
  // (the old link is removed). Error text or "".
  std::string Replug(const std::string& prefix);
  bool Closed() const { return master_ < 0; }

  int MasterFd() const { return master_; }
  const std::string& SlavePath() const { return slave_path_; }
  int ComNumber() const { return com_; }
  const std::string& LinkPath() const { return link_path_; }

  // The host's line speed in baud (0 when the terminal reports a speed it has no number for).
  std::uint32_t HostBaud() const;
  // Bytes sent to the host that it has not read yet.
  std::size_t UnreadByHost() const;
  // Bytes the host has sent that the phone has not read yet.
  std::size_t UnreadFromHost() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  std::string link_path_;
  int com_ = 0;
};

}  // namespace phone_sim

// A panel for tests: fixed form values in, log lines and progress out.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "FlasherPanel.h"

class RecordingPanel : public FlasherPanel {
 public:
  std::string port;
  std::string speed = "921600";
  std::string source_file;
  std::string offset = "00000000";
  std::string length = "01000000";
  bool slave = false;

  std::string SelectedPortName() override { return port; }
  std::string SelectedSpeedText() override { return speed; }
  std::string SourceFileName() override { return source_file; }
  std::string OffsetText() override { return offset; }
  std::string LengthText() override { return length; }
  bool SlaveChipChosen() override { return slave; }
  void EnableOperationButtons(bool enabled) override;
  void AppendLogLine(const std::string& line) override;
  void SetProgress(int min, int max, int position) override;

  std::vector<std::string> Lines();
  std::vector<bool> ButtonStates();
  int LastProgress();
  int ProgressUpdates();

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  std::vector<bool> buttons_;
  int last_progress_ = -1;
  int progress_updates_ = 0;
};

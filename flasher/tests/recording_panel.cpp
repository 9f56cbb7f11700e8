#include "recording_panel.h"

void RecordingPanel::EnableOperationButtons(bool enabled) {
  std::lock_guard lock(mutex_);
  buttons_.push_back(enabled);
}

void RecordingPanel::AppendLogLine(const std::string& line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(line);
}

void RecordingPanel::SetProgress(int min, int max, int position) {
  std::lock_guard lock(mutex_);
  if (min == 0 && max == 100) last_progress_ = position;
  ++progress_updates_;
}

std::vector<std::string> RecordingPanel::Lines() {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<bool> RecordingPanel::ButtonStates() {
  std::lock_guard lock(mutex_);
  return buttons_;
}

int RecordingPanel::LastProgress() {
  std::lock_guard lock(mutex_);
  return last_progress_;
}

int RecordingPanel::ProgressUpdates() {
  std::lock_guard lock(mutex_);
  return progress_updates_;
}

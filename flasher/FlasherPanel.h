// What the worker and the protocol steps read from and write to the main window: the port and
// speed lists, the edits, the chip choice, the buttons, the log memo and the progress bar.
// The form installs itself; tests install a recorder. Implementations must be callable from
// the worker thread and stay harmless once the window is gone (work through window handles
// and messages, never through objects the window's thread may have destroyed).
#pragma once

#include <string>

class FlasherPanel {
 public:
  virtual ~FlasherPanel() = default;
  virtual std::string SelectedPortName() = 0;                    // ComboBox1's text
  virtual std::string SelectedSpeedText() = 0;                   // ComboBox2's text
  virtual std::string SourceFileName() = 0;                      // Edit1's text
  virtual std::string OffsetText() = 0;                          // Edit2's text
  virtual std::string LengthText() = 0;                          // Edit3's text
  virtual bool SlaveChipChosen() = 0;                            // RadioButton2 checked
  virtual void EnableOperationButtons(bool enabled) = 0;         // Button1..Button3
  virtual void AppendLogLine(const std::string& line) = 0;       // Memo1, UTF-8
  virtual void SetProgress(int min, int max, int position) = 0;  // ProgressBar1
};

// The panel every protocol step uses; null until a window or a test sets it.
FlasherPanel* ActivePanel();
void SetActivePanel(FlasherPanel* panel);

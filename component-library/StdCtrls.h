// Standard controls: labels, edits, memos, combo boxes, buttons, radio buttons, group boxes.
#pragma once

#include "Controls.h"

class TLabel : public TControl {
 public:
  explicit TLabel(TControl* parent);
};

class TEdit : public TControl {
 public:
  explicit TEdit(TControl* parent);
  // 0: no limit beyond the control's own.
  void SetMaxLength(int length);
  int MaxLength() const;

  TNotifyEvent OnDblClick;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam) override;
};

enum class TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };

class TMemo;

// The lines of a memo: its text split at CR LF. Every added line ends with CR LF.
class TMemoStrings : public TStrings {
 public:
  explicit TMemoStrings(TMemo& memo) : memo_(memo) {}
  int Count() const override;
  std::string Get(int index) const override;
  int Add(const std::string& s) override;
  void Clear() override;

 private:
  TMemo& memo_;
};

class TMemo : public TControl {
 public:
  // The scroll bars and word wrapping are fixed when the window is made.
  TMemo(TControl* parent, TScrollStyle scroll_bars, bool word_wrap);
  TStrings& Lines() { return lines_; }

 private:
  TMemoStrings lines_;
};

class TComboBox;

class TComboBoxStrings : public TStrings {
 public:
  explicit TComboBoxStrings(TComboBox& combo) : combo_(combo) {}
  int Count() const override;
  std::string Get(int index) const override;
  int Add(const std::string& s) override;
  void Clear() override;

 private:
  TComboBox& combo_;
};

// A drop-down list (the user picks one of the items; no typing).
class TComboBox : public TControl {
 public:
  explicit TComboBox(TControl* parent);
  // height: of the closed box; the drop-down list gets room for DropDownCount items.
  void SetBounds(int left, int top, int width, int height) override;
  TStrings& Items() { return items_; }
  int ItemIndex() const;
  void SetItemIndex(int index);
  // The selected item, empty when none is selected.
  std::string Text() const override;

  int DropDownCount = 8;
  // Runs before the list opens; it may refill the items.
  TNotifyEvent OnDropDown;

 protected:
  void CommandNotify(WORD code) override;

 private:
  TComboBoxStrings items_;
};

class TButton : public TControl {
 public:
  explicit TButton(TControl* parent);
  // Runs OnClick as a press of the button does.
  void Click();

  TNotifyEvent OnClick;

 protected:
  void CommandNotify(WORD code) override;
};

class TRadioButton : public TControl {
 public:
  explicit TRadioButton(TControl* parent);
  bool Checked() const;
  // Checking one unchecks the other radio buttons of the same parent.
  void SetChecked(bool checked);
};

// A frame with a caption; controls created with it as parent sit inside it.
class TGroupBox : public TControl {
 public:
  explicit TGroupBox(TControl* parent);

 protected:
  // The frame draws no background of its own: paint the area its children sit on.
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam) override;
};

// The common file dialogs.
#pragma once

#include <string>

#include "Controls.h"

class TOpenDialog : public TObject {
 public:
  // The dialog is freed with its owner.
  explicit TOpenDialog(TControl* owner);
  ~TOpenDialog() override;
  TOpenDialog(const TOpenDialog&) = delete;
  TOpenDialog& operator=(const TOpenDialog&) = delete;

  // Runs the dialog modally (owned by the owner's form window); true when the user confirmed.
  // FileName is the initial name and, when confirmed, the chosen one.
  bool Execute();
  std::string FileName;

 protected:
  virtual bool RunDialog(void* open_file_name);

 private:
  TControl* owner_;
};

class TSaveDialog : public TOpenDialog {
 public:
  using TOpenDialog::TOpenDialog;

 protected:
  bool RunDialog(void* open_file_name) override;
};

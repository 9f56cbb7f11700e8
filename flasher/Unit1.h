// The flasher's main window.
#pragma once

#include <string>

#include "ComCtrls.h"
#include "Dialogs.h"
#include "Forms.h"
#include "StdCtrls.h"

class TForm1 : public TForm {
 public:
  TForm1();
  ~TForm1() override;

  TLabel* Label3;
  TMemo* Memo1;
  TProgressBar* ProgressBar1;
  TGroupBox* GroupBox1;
  TLabel* Label1;
  TLabel* Label2;
  TComboBox* ComboBox1;
  TComboBox* ComboBox2;
  TEdit* Edit1;
  TGroupBox* GroupBox2;
  TLabel* Label4;
  TLabel* Label5;
  TEdit* Edit2;
  TEdit* Edit3;
  TButton* Button1;
  TButton* Button2;
  TButton* Button3;
  TGroupBox* GroupBox3;
  TRadioButton* RadioButton1;
  TRadioButton* RadioButton2;
  TMemo* Memo2;
  TOpenDialog* OpenDialog1;
  TSaveDialog* SaveDialog1;

  void FormCreate(TObject* Sender);
  void ComboBox1DropDown(TObject* Sender);
  void Edit1DblClick(TObject* Sender);
  void Button1Click(TObject* Sender);
  void Button2Click(TObject* Sender);
  void Button3Click(TObject* Sender);

 private:
  // ComboBox1 := the string data of the values under HKLM\hardware\devicemap\serialcomm.
  void FillPortList();
  // Disables the buttons and starts a worker for the mode; the worker enables them again.
  void StartOperation(const std::string& mode);
};

extern TForm1* Form1;
// "flash", "damp" or "Erase": what the next worker does.
extern std::string OperationMode;
// The dump destination chosen in SaveDialog1 (UTF-8).
extern std::string DumpFileName;

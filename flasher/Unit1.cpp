#include "Unit1.h"

#include <atomic>
#include <functional>
#include <new>

#include "FlasherPanel.h"
#include "Registry.h"
#include "work_Thread.h"

TForm1* Form1 = nullptr;
std::string OperationMode;
std::string DumpFileName;

namespace {

// The worker's view of the form. It keeps only window handles and does every read and write on
// the window's own thread, so a worker can never reach a control the form has freed: once
// the form is gone the calls do nothing. It is never destroyed (a worker may outlive the form).
class FormPanel final : public FlasherPanel {
 public:
  void Attach(TForm1& form) {
    form_ = &form;
    port_ = form.ComboBox1->Handle();
    speed_ = form.ComboBox2->Handle();
    source_ = form.Edit1->Handle();
    offset_ = form.Edit2->Handle();
    length_ = form.Edit3->Handle();
    slave_ = form.RadioButton2->Handle();
    memo_ = form.Memo1->Handle();
    bar_ = form.ProgressBar1->Handle();
    buttons_[0] = form.Button1->Handle();
    buttons_[1] = form.Button2->Handle();
    buttons_[2] = form.Button3->Handle();
  }
  void Detach() {
    for (auto* h : {&port_, &speed_, &source_, &offset_, &length_, &slave_, &memo_, &bar_,
                    &buttons_[0], &buttons_[1], &buttons_[2]}) {
      *h = nullptr;
    }
    form_ = nullptr;
  }
  bool AttachedTo(const TForm1& form) const { return form_.load() == &form; }

  std::string SelectedPortName() override { return TextOf<TComboBox>(port_); }
  std::string SelectedSpeedText() override { return TextOf<TComboBox>(speed_); }
  std::string SourceFileName() override { return TextOf<TEdit>(source_); }
  std::string OffsetText() override { return TextOf<TEdit>(offset_); }
  std::string LengthText() override { return TextOf<TEdit>(length_); }
  bool SlaveChipChosen() override {
    bool checked = false;
    On<TRadioButton>(slave_, [&](TRadioButton& r) { checked = r.Checked(); });
    return checked;
  }
  void EnableOperationButtons(bool enabled) override {
    for (auto& b : buttons_) On<TButton>(b, [&](TButton& button) { button.SetEnabled(enabled); });
  }
  void AppendLogLine(const std::string& line) override {
    On<TMemo>(memo_, [&](TMemo& memo) { memo.Lines().Add(line); });
  }
  void SetProgress(int min, int max, int position) override {
    On<TProgressBar>(bar_, [&](TProgressBar& bar) { bar.SetParams(position, min, max); });
  }

 private:
  template <class C>
  static void On(const std::atomic<HWND>& window, const std::function<void(C&)>& fn) {
    const HWND h = window.load();
    InvokeOnWindowThread(h, [&] {
      if (auto* control = dynamic_cast<C*>(TControl::FromHandle(h))) fn(*control);
    });
  }
  template <class C>
  static std::string TextOf(const std::atomic<HWND>& window) {
    std::string text;
    On<C>(window, [&](C& control) { text = control.Text(); });
    return text;
  }

  std::atomic<HWND> port_{}, speed_{}, source_{}, offset_{}, length_{}, slave_{}, memo_{}, bar_{};
  std::atomic<HWND> buttons_[3]{};
  std::atomic<const TForm1*> form_{};
};

FormPanel& ThePanel() {
  alignas(FormPanel) static unsigned char storage[sizeof(FormPanel)];
  static FormPanel* panel = new (storage) FormPanel;
  return *panel;
}

template <class T>
T* Place(T* control, int left, int top, int width, int height, const char* text = nullptr) {
  control->SetBounds(left, top, width, height);
  if (text) control->SetText(text);
  return control;
}

}  // namespace

TForm1::TForm1() : TForm(L"TForm1") {
  SetCaption("R4417 флешер дампер версия 1.00");
  SetBorderStyle(TFormBorderStyle::bsSingle);
  SetClientSize(530, 363);
  {
    RECT r{};
    GetWindowRect(Handle(), &r);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    SetWindowPos(Handle(), nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - h) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  // Created in tab order. Two columns: the log on the left, the NOR hint (whose longest line
  // must fit) on the right.
  Label3 = Place(new TLabel(this), 8, 8, 300, 14, "файл для прошивки");
  Edit1 = Place(new TEdit(this), 8, 24, 514, 21, "Двойной клик для выбора");

  GroupBox1 = Place(new TGroupBox(this), 8, 53, 216, 70, "Ком порт");
  Label1 = Place(new TLabel(GroupBox1), 10, 18, 94, 14, "ком порты");
  ComboBox1 = Place(new TComboBox(GroupBox1), 10, 34, 94, 21);
  Label2 = Place(new TLabel(GroupBox1), 112, 18, 94, 14, "скорости");
  ComboBox2 = Place(new TComboBox(GroupBox1), 112, 34, 94, 21);
  for (const char* speed : {"115200", "460800", "921600"}) ComboBox2->Items().Add(speed);

  GroupBox2 = Place(new TGroupBox(this), 232, 53, 290, 70, "Исходные данные");
  Label4 = Place(new TLabel(GroupBox2), 10, 18, 131, 14, "Смещение в нор");
  Edit2 = Place(new TEdit(GroupBox2), 10, 34, 131, 21, "00000000");
  Edit2->SetMaxLength(8);
  Label5 = Place(new TLabel(GroupBox2), 149, 18, 131, 14, "Длина дампа");
  Edit3 = Place(new TEdit(GroupBox2), 149, 34, 131, 21, "01000000");

  GroupBox3 = Place(new TGroupBox(this), 8, 129, 216, 62, "Тип  - мастер или слейв");
  RadioButton1 = Place(new TRadioButton(GroupBox3), 10, 18, 196, 18, "Работа с мастер частью");
  RadioButton2 = Place(new TRadioButton(GroupBox3), 10, 38, 196, 18, "Работа со слейв частью");
  RadioButton2->SetChecked(true);

  Button1 = Place(new TButton(this), 232, 135, 92, 25, "Прошивка");
  Button2 = Place(new TButton(this), 331, 135, 92, 25, "Дамп");
  Button3 = Place(new TButton(this), 430, 135, 92, 25, "Стирание");
  ProgressBar1 = Place(new TProgressBar(this), 232, 171, 290, 20);

  Memo1 = Place(new TMemo(this, TScrollStyle::ssVertical, true), 8, 199, 216, 156);
  Memo2 = Place(new TMemo(this, TScrollStyle::ssVertical, false), 232, 199, 290, 156);
  for (const char* line :
       {"           На память R4417", "1. Мастер часть", "1.1 Область прошивки 00000000-01BFFFFF",
        "1.2 EEPROM  - 01C00000-01FFFFFF", "1.3 Фул NOR флеши 32Мб.", "", "2. Слейв часть",
        "2.1 Область прошивки 00000000-00DFFFFF", "2.2 Область QVS 00E00000-00E6FFFF",
        "2.3 Область EEPROM 00E70000-00FFFFFF"}) {
    Memo2->Lines().Add(line);
  }

  OpenDialog1 = new TOpenDialog(this);
  SaveDialog1 = new TSaveDialog(this);

  ComboBox1->OnDropDown = [this](TObject* s) { ComboBox1DropDown(s); };
  Edit1->OnDblClick = [this](TObject* s) { Edit1DblClick(s); };
  Button1->OnClick = [this](TObject* s) { Button1Click(s); };
  Button2->OnClick = [this](TObject* s) { Button2Click(s); };
  Button3->OnClick = [this](TObject* s) { Button3Click(s); };
  OnCreate = [this](TObject* s) { FormCreate(s); };
  DoCreate();
}

TForm1::~TForm1() {
  if (ThePanel().AttachedTo(*this)) ThePanel().Detach();
}

void TForm1::FillPortList() {
  TRegistry registry;
  registry.RootKey = HKEY_LOCAL_MACHINE;
  const bool opened = registry.OpenKeyReadOnly("hardware\\devicemap\\serialcomm");
  ComboBox1->Items().Clear();
  if (!opened) return;
  TStringList names;
  registry.GetValueNames(names);
  for (int i = 0; i < names.Count(); ++i) {
    try {
      ComboBox1->Items().Add(registry.ReadString(names[i]));
    } catch (const ERegistryException&) {
      // Not a port name (data of another type): left out of the list.
    }
  }
}

void TForm1::FormCreate(TObject* Sender) {
  ThePanel().Attach(*this);
  SetActivePanel(&ThePanel());
  FillPortList();
  if (ComboBox1->Items().Count() > 0) {
    ComboBox1->SetItemIndex(0);
    ComboBox2->SetItemIndex(2);
  }
}

void TForm1::ComboBox1DropDown(TObject* Sender) {
  FillPortList();
  ComboBox1->SetItemIndex(0);
}

void TForm1::Edit1DblClick(TObject* Sender) {
  OpenDialog1->Execute();
  Edit1->SetText(OpenDialog1->FileName);
}

void TForm1::StartOperation(const std::string& mode) {
  OperationMode = mode;
  // Disabled here, not only by the worker: a quick second press must not start a second one.
  for (TButton* b : {Button1, Button2, Button3}) b->SetEnabled(false);
  try {
    StartWorkThread();
  } catch (...) {
    for (TButton* b : {Button1, Button2, Button3}) b->SetEnabled(true);
    throw;
  }
}

void TForm1::Button1Click(TObject* Sender) { StartOperation("flash"); }

void TForm1::Button2Click(TObject* Sender) {
  // A cancelled dialog is no operation: the previous dump file stays as it is.
  if (!SaveDialog1->Execute()) return;
  DumpFileName = SaveDialog1->FileName;
  StartOperation("damp");
}

void TForm1::Button3Click(TObject* Sender) { StartOperation("Erase"); }

#include "ComCtrls.h"

#include <commctrl.h>

TProgressBar::TProgressBar(TControl* parent) : TControl(parent) {
  CreateHandle(0, PROGRESS_CLASSW, WS_VISIBLE, "");
  SetParams(0, 0, 100);
}

int TProgressBar::Min() const { return static_cast<int>(Perform(PBM_GETRANGE, TRUE, 0)); }

int TProgressBar::Max() const { return static_cast<int>(Perform(PBM_GETRANGE, FALSE, 0)); }

int TProgressBar::Position() const { return static_cast<int>(Perform(PBM_GETPOS, 0, 0)); }

void TProgressBar::SetMin(int value) {
  Invoke([&] { SetParams(Position(), value, Max()); });
}

void TProgressBar::SetMax(int value) {
  Invoke([&] { SetParams(Position(), Min(), value); });
}

void TProgressBar::SetPosition(int value) { Perform(PBM_SETPOS, static_cast<WPARAM>(value), 0); }

void TProgressBar::SetParams(int position, int min, int max) {
  Invoke([&] {
    Perform(PBM_SETRANGE32, static_cast<WPARAM>(min), static_cast<LPARAM>(max));
    Perform(PBM_SETPOS, static_cast<WPARAM>(position), 0);
  });
}

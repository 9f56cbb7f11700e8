// Common controls: the progress bar.
#pragma once

#include "Controls.h"

class TProgressBar : public TControl {
 public:
  explicit TProgressBar(TControl* parent);
  int Min() const;
  int Max() const;
  int Position() const;
  void SetMin(int value);
  void SetMax(int value);
  void SetPosition(int value);  // kept within Min..Max
  // Range and position in one step.
  void SetParams(int position, int min, int max);
};

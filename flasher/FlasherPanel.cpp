#include "FlasherPanel.h"

#include <atomic>

namespace {
std::atomic<FlasherPanel*> active_panel{nullptr};
}

FlasherPanel* ActivePanel() { return active_panel.load(); }
void SetActivePanel(FlasherPanel* panel) { active_panel.store(panel); }

// A test's own phone on its own COM port: the panel the protocol steps use, the simulator's
// control, the boot of either chip, and the simulator's frame log printed when a test fails.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "phone_sim_control.h"
#include "recording_panel.h"

class PhoneLineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The master chip's boot; then, for the slave, BL_SWITCH_SLAVE, the pause and its boot.
  bool BootMaster();
  bool SwitchToSlave();
  // The frame-log lines that start with `prefix`.
  std::vector<std::string> Frames(const std::string& prefix);

  RecordingPanel panel;
  phone_sim::PhoneSimControl sim;
};

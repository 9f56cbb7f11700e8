#include "phone_line_fixture.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "Com_port.h"
#include "Special_unit.h"

void PhoneLineTest::SetUp() {
  const char* com = std::getenv("PHONE_SIM_COM");
  ASSERT_NE(com, nullptr) << "run under the phone simulator";
  panel.port = com;
  SetActivePanel(&panel);
  Special_unit::timings = Special_unit::Timings{};
  Special_unit::timings.connect_wait = 15000;  // generous: a loaded machine is slow
}

void PhoneLineTest::TearDown() {
  if (HasFailure()) {
    std::printf("phone: %s\n", sim.State().c_str());
    for (const auto& frame : sim.Frames()) std::printf("  phone | %s\n", frame.c_str());
  }
  Com_port::ComClose(Com_port::PortHandle);
  SetActivePanel(nullptr);
}

bool PhoneLineTest::BootMaster() {
  return Special_unit::BootAndLoad("Kesta_PNX6512_V05_pre", "Kesta_PNX6512_V05");
}

bool PhoneLineTest::SwitchToSlave() {
  Com_port::ComWriteString(Com_port::PortHandle, std::string(1, '\xCD'));
  Com_port::ComClose(Com_port::PortHandle);
  Sleep(250);
  return Special_unit::BootAndLoad("Kesta_PNX5231_V05_pre", "Kesta_PNX5231_V05");
}

std::vector<std::string> PhoneLineTest::Frames(const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& f : sim.Frames()) {
    if (f.rfind(prefix, 0) == 0) out.push_back(f);
  }
  return out;
}

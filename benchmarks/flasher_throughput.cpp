// Times the flasher's NOR write and dump against the phone simulator.
//
// flasher_throughput <port> <baud> <mebibytes> <many|single>
// Boots the master chip, then writes and dumps the given amount; prints
// "write_seconds=<s> dump_seconds=<s>" or a failure line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Com_port.h"
#include "Special_unit.h"
#include "recording_panel.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::printf("usage: flasher_throughput <port> <baud> <mebibytes> <many|single>\n");
    return 2;
  }
  RecordingPanel panel;
  panel.port = std::string(argv[1]) == "-" && std::getenv("PHONE_SIM_COM")
                   ? std::getenv("PHONE_SIM_COM")
                   : argv[1];
  panel.speed = argv[2];
  const std::uint32_t bytes = static_cast<std::uint32_t>(std::atoi(argv[3])) * 1024u * 1024u;
  Com_port::ReadManyBytesPerCall = std::string(argv[4]) != "single";
  SetActivePanel(&panel);

  if (!Special_unit::BootAndLoad("Kesta_PNX6512_V05_pre", "Kesta_PNX6512_V05")) {
    std::printf("boot failed\n");
    return 1;
  }
  TMemoryStream source;
  source.SetSize(bytes);
  for (std::uint32_t i = 0; i < bytes; ++i)
    source.Memory()[i] = static_cast<std::uint8_t>(i * 7 + (i >> 11));

  LARGE_INTEGER frequency, t0, t1, t2;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&t0);
  const bool wrote = Special_unit::FlashWrite(0, source, 0x20000);
  QueryPerformanceCounter(&t1);
  TMemoryStream dump;
  const bool dumped = Special_unit::FlashDump(0, bytes, dump, 8192);
  QueryPerformanceCounter(&t2);
  Com_port::ComClose(Com_port::PortHandle);

  if (!wrote || !dumped) {
    std::printf("operation failed\n");
    return 1;
  }
  const bool same = dump.Size() >= bytes && std::memcmp(dump.Memory(), source.Memory(), bytes) == 0;
  std::printf("write_seconds=%.3f dump_seconds=%.3f same=%d\n",
              double(t1.QuadPart - t0.QuadPart) / frequency.QuadPart,
              double(t2.QuadPart - t1.QuadPart) / frequency.QuadPart, same ? 1 : 0);
  return same ? 0 : 1;
}

// Receive ring queue of the serial link: one producer (the reader thread), one consumer (the
// user-interface thread), no lock; each index is written by one side only.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

class CByteQueue {
 public:
  static constexpr int kSize = 16384;       // holds at most kSize - 1 bytes
  static constexpr int kBlockCount = 8193;  // one dump block of 8192 bytes and its sum

  CByteQueue() { Clear(); }

  // Consumer side.
  void Clear();
  int GetCount() const;
  bool Get(std::uint8_t& out);

  // Producer side.
  int GetFree() const { return kSize - 1 - GetCount(); }
  bool Put(std::uint8_t b);
  // All n bytes, or none when they do not fit (n > GetFree()).
  bool PutBlock(const std::uint8_t* bytes, int n);
  // Reads with read(buffer, max) -> count, never more than fits, until a read returns 0 or the
  // queue is full; bytes not taken stay with the source. Returns the bytes taken.
  template <typename ReadFn>
  int FillFrom(ReadFn&& read, std::uint8_t* buffer, int chunk) {
    int taken = 0;
    for (;;) {
      int room = std::min(GetFree(), chunk);
      if (room <= 0) return taken;
      int n = static_cast<int>(read(buffer, room));
      if (n <= 0) return taken;
      PutBlock(buffer, std::min(n, room));
      taken += std::min(n, room);
    }
  }

  // Whether the reader tells the user-interface thread: bytes are queued and, in block mode,
  // exactly one dump block with its sum.
  static bool ShouldNotify(int count, bool blockMode) {
    return count > 0 && (!blockMode || count == kBlockCount);
  }

 private:
  std::uint8_t m_data[kSize];
  std::atomic<std::uint32_t> m_write;
  std::atomic<std::uint32_t> m_read;
};

#include "ByteQueue.h"

#include <cstring>

void CByteQueue::Clear() {
  std::memset(m_data, 0, sizeof(m_data));
  m_write.store(0, std::memory_order_release);
  m_read.store(0, std::memory_order_release);
}

int CByteQueue::GetCount() const {
  std::uint32_t w = m_write.load(std::memory_order_acquire);
  std::uint32_t r = m_read.load(std::memory_order_acquire);
  return static_cast<int>((w - r + kSize) % kSize);
}

bool CByteQueue::Put(std::uint8_t b) {
  std::uint32_t w = m_write.load(std::memory_order_relaxed);
  std::uint32_t next = (w + 1) % kSize;
  if (next == m_read.load(std::memory_order_acquire)) return false;  // full
  m_data[w] = b;
  m_write.store(next, std::memory_order_release);
  return true;
}

bool CByteQueue::PutBlock(const std::uint8_t* bytes, int n) {
  if (n < 0 || n > GetFree()) return false;
  std::uint32_t w = m_write.load(std::memory_order_relaxed);
  for (int i = 0; i < n; ++i) {
    m_data[w] = bytes[i];
    w = (w + 1) % kSize;
  }
  m_write.store(w, std::memory_order_release);
  return true;
}

bool CByteQueue::Get(std::uint8_t& out) {
  std::uint32_t r = m_read.load(std::memory_order_relaxed);
  if (r == m_write.load(std::memory_order_acquire)) return false;  // empty
  out = m_data[r];
  m_read.store((r + 1) % kSize, std::memory_order_release);
  return true;
}

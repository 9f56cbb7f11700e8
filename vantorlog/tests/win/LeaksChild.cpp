// A program linked with the tracking operators: it leaks, frees twice, writes past an end or
// runs many allocating threads as its argument says; the tracker's callbacks write what they
// get to the file named by the first argument, the leak records after main has returned.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "VLeaks.h"
#include "core/ExceptionLog.h"

class TLeakyWidget {
 public:
  virtual ~TLeakyWidget() = default;
  int parts[5] = {1, 2, 3, 4, 5};
};
class TTidyWidget {
 public:
  virtual ~TTidyWidget() = default;
  char name[48] = {};
};

// A static object that owns a block: destroyed at the end, before the tracker stops.
std::string g_static_text(500, 'q');

// Where the leaked blocks go: seen from outside, so that the compiler keeps their contents.
TLeakyWidget* g_widgets[3];
char* g_buffer;

namespace {

char g_out[MAX_PATH];

void Line(const char* text) {
  if (FILE* f = std::fopen(g_out, "a")) {
    std::fputs(text, f);
    std::fputs("\n", f);
    std::fclose(f);
  }
}
void OnOverrun() { Line("OVERRUN"); }
void OnMultiFree() { Line("MULTIFREE"); }
void OnFinal() { Line("FINAL"); }
void OnBefore() { Line("BEGIN"); }
void OnAfter() { Line("END"); }
void OnLeak(const char* name, std::uint32_t size, std::uint32_t count, const std::uint32_t* stack) {
  char text[200];
  std::snprintf(text, sizeof text, "LEAK %s %u %u %08X", name, static_cast<unsigned>(size),
                static_cast<unsigned>(count), static_cast<unsigned>(stack[0]));
  Line(text);
}

__attribute__((noinline)) void LeakWidgets() {
  for (TLeakyWidget*& w : g_widgets) w = new TLeakyWidget;
}
__attribute__((noinline)) void LeakBuffer() {
  g_buffer = new char[100];
  std::memset(g_buffer, 1, 100);
}
__attribute__((noinline)) void TidyUp() {
  std::vector<TTidyWidget*> all;
  for (int i = 0; i < 50; ++i) all.push_back(new TTidyWidget);
  for (TTidyWidget* w : all) delete w;
  std::string text(1000, 'x');
  text += text;
}

void FreeTwice() {
  void* volatile block = ::operator new(48);
  ::operator delete(block);
  ::operator delete(block);
  Line("AFTER MULTIFREE");
}
__attribute__((noinline)) void Fill(char* buffer, std::size_t size) {
  std::memset(buffer, 'x', size);
}
void WritePastEnd() {
  char* buffer = static_cast<char*>(::operator new[](10));
  Fill(buffer, 11);
  ::operator delete[](buffer);
  Line("AFTER OVERRUN");
}

void Threads() {
  std::vector<std::thread> threads;
  std::vector<int> bad(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &bad] {
      std::vector<std::string*> mine;
      for (int i = 0; i < 4000; ++i) {
        mine.push_back(new std::string(static_cast<std::size_t>(16 + (i * 7 + t) % 200),
                                       static_cast<char>('a' + t)));
        if (mine.size() > 16) {
          std::string* old = mine.front();
          mine.erase(mine.begin());
          if ((*old)[0] != 'a' + t) ++bad[t];
          delete old;
        }
      }
      for (std::string* s : mine) delete s;
    });
  }
  for (std::thread& th : threads) th.join();
  int total = 0;
  for (int b : bad) total += b;
  Line(total == 0 ? "THREADS OK" : "THREADS BAD");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::snprintf(g_out, sizeof g_out, "%s", argv[1]);
  DeleteFileA(g_out);
  Line(VLeaks::IsLeakTrackingActive() ? "ACTIVE" : "INACTIVE");
  VLeaks::TLeakCallbacks callbacks;
  callbacks.Overrun = &OnOverrun;
  callbacks.MultipleFree = &OnMultiFree;
  callbacks.Finalization = &OnFinal;
  callbacks.BeforeFirstLeak = &OnBefore;
  callbacks.AfterLastLeak = &OnAfter;
  callbacks.OneLeak = &OnLeak;
  VLeaks::SetCallbacks(callbacks);
  char sites[64];
  std::snprintf(sites, sizeof sites, "SITES %08X %08X",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&LeakWidgets)),
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&LeakBuffer)));
  Line(sites);
  const std::string scenario = argv[2];
  if (scenario == "leaks") {
    LeakWidgets();
    LeakBuffer();
    TidyUp();
  } else if (scenario == "errors") {
    FreeTwice();
    WritePastEnd();
    TidyUp();
  } else if (scenario == "threads") {
    Threads();
  } else if (scenario == "converted") {
    // The object made for an OS exception, with its message, comes from the process heap: the
    // faulting thread may hold the tracker's lock. The operators free it all the same.
    const std::size_t before = VLeaks::LiveBlockCount();
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.NumberParameters = 2;
    record.ExceptionInformation[1] = 0x10;
    Exception* object = ExceptionLog::NewExternalException(record);
    const bool past = object && VLeaks::IsProcessHeapBlock(object) &&
                      VLeaks::IsProcessHeapBlock(object->Message().data()) &&
                      VLeaks::LiveBlockCount() == before;
    Line(past ? "CONVERTED PAST THE TRACKER" : "CONVERTED THROUGH THE TRACKER");
    delete object;
    // Blocks made outside the scope are the tracker's again.
    auto* text = new std::string(200, 't');
    Line(VLeaks::IsProcessHeapBlock(text) ? "LATER BLOCK PAST" : "LATER BLOCK TRACKED");
    delete text;
    Line(HeapValidate(GetProcessHeap(), 0, nullptr) ? "HEAP OK" : "HEAP BAD");
  }
  Line("MAIN END");
  return 0;
}

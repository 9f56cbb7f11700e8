#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "core/VUnitVariable.h"

namespace {

int g_live_blocks = 0;

template <class T>
struct Counting {
  using value_type = T;
  Counting() = default;
  template <class U>
  Counting(const Counting<U>&) {}
  T* allocate(std::size_t n) {
    ++g_live_blocks;
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) {
    --g_live_blocks;
    std::allocator<T>().deallocate(p, n);
  }
  friend bool operator==(const Counting&, const Counting&) { return true; }
};

using Text = std::basic_string<char, std::char_traits<char>, Counting<char>>;
using Texts = std::vector<Text, Counting<Text>>;

VCore::TUnitVariable<Text> g_text;
VCore::TUnitVariable<Text> g_named{[] { return Text("wininet.dll"); }};
VCore::TUnitVariable<Texts> g_list;

static_assert(std::is_trivially_destructible_v<VCore::TUnitVariable<Text>>,
              "a unit variable must outlive static destruction");

TEST(UnitVariableTest, EmptyingGivesTheMemoryBackAndLeavesTheVariablesUsable) {
  const int before = g_live_blocks;
  *g_text = Text(200, 'x');
  g_list->assign(3, Text(100, 'y'));
  *g_named = Text(300, 'z');
  EXPECT_GT(g_live_blocks, before);

  VCore::EmptyUnitVariables();
  EXPECT_EQ(g_live_blocks, before);
  EXPECT_TRUE(g_text->empty());
  EXPECT_TRUE(g_list->empty());
  EXPECT_EQ(*g_named, Text("wininet.dll"));  // back to its first value

  // After emptying (the leak report's state), the variables take values again.
  *g_text = Text(500, 'a');
  g_list->push_back(*g_text);
  EXPECT_EQ(g_list->front().size(), 500u);
  VCore::EmptyUnitVariables();
  EXPECT_EQ(g_live_blocks, before);
}

}  // namespace

#include "sim_options.h"

#include <gtest/gtest.h>

namespace phone_sim {
namespace {

TEST(SimOptions, ParsesTheLauncherLineAndTheExtras) {
  std::string error;
  auto o = ParseSimOptions(
      {"--prefix", "/p", "--com", "auto", "--images", "/i", "--ready-file", "/r", "--wire-time",
       "--power", "off", "--master-nor", "/m", "--save-slave-nor", "/s", "--seed", "7"},
      &error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->prefix, "/p");
  EXPECT_EQ(o->com, 0);
  EXPECT_EQ(o->images, "/i");
  EXPECT_EQ(o->ready_file, "/r");
  EXPECT_TRUE(o->wire_time);
  EXPECT_FALSE(o->powered);
  EXPECT_EQ(o->master_nor, "/m");
  EXPECT_EQ(o->save_slave_nor, "/s");
  EXPECT_EQ(o->seed, 7u);
  EXPECT_FALSE(o->wire_strict);
  o = ParseSimOptions({"--prefix", "/p", "--images", "/i", "--com", "5"}, &error);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->com, 5);
  EXPECT_FALSE(o->wire_time);
  o = ParseSimOptions({"--prefix", "/p", "--images", "/i", "--wire-strict"}, &error);
  ASSERT_TRUE(o) << error;
  EXPECT_TRUE(o->wire_time);
  EXPECT_TRUE(o->wire_strict);
}

TEST(SimOptions, RejectsBadLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"--images", "/i"},
      {"--prefix", "/p"},
      {"--prefix", "/p", "--images", "/i", "--com", "0"},
      {"--prefix", "/p", "--images", "/i", "--com", "x"},
      {"--prefix", "/p", "--images", "/i", "--power", "maybe"},
      {"--prefix", "/p", "--images", "/i", "--bogus"},
      {"--prefix", "/p", "--images"},
  };
  for (const auto& args : bad) {
    std::string error;
    EXPECT_FALSE(ParseSimOptions(args, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace phone_sim

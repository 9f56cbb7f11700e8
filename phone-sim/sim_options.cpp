#include "sim_options.h"

#include <charconv>

namespace phone_sim {

namespace {

template <typename T>
bool ParseNumber(const std::string& text, T* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& args,
                                          std::string* error) {
  SimOptions o;
  auto fail = [&](const std::string& text) {
    *error = text;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--wire-time") {
      o.wire_time = true;
      continue;
    }
    if (a == "--wire-strict") {
      o.wire_time = o.wire_strict = true;
      continue;
    }
    std::string* target = a == "--prefix"            ? &o.prefix
                          : a == "--images"          ? &o.images
                          : a == "--ready-file"      ? &o.ready_file
                          : a == "--master-nor"      ? &o.master_nor
                          : a == "--slave-nor"       ? &o.slave_nor
                          : a == "--save-master-nor" ? &o.save_master_nor
                          : a == "--save-slave-nor"  ? &o.save_slave_nor
                          : a == "--log"             ? &o.log
                                                     : nullptr;
    bool known = target || a == "--com" || a == "--power" || a == "--seed";
    if (!known) return fail("unknown option " + a);
    if (i + 1 >= args.size()) return fail(a + " needs a value");
    const std::string& v = args[++i];
    if (target) {
      *target = v;
    } else if (a == "--com") {
      if (v == "auto") {
        o.com = 0;
      } else if (!ParseNumber(v, &o.com) || o.com < 1 || o.com > 256) {
        return fail("--com takes auto or a number 1..256");
      }
    } else if (a == "--power") {
      if (v != "on" && v != "off") return fail("--power takes on or off");
      o.powered = v == "on";
    } else {
      std::uint32_t seed = 0;
      if (!ParseNumber(v, &seed)) return fail("--seed takes a number");
      o.seed = seed;
    }
  }
  if (o.prefix.empty()) return fail("--prefix is required");
  if (o.images.empty()) return fail("--images is required");
  return o;
}

}  // namespace phone_sim

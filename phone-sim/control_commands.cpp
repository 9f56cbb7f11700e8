#include "control_commands.h"

#include <charconv>
#include <chrono>
#include <vector>

namespace phone_sim {

namespace {

std::vector<std::string_view> Words(std::string_view line, std::size_t max_words) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size()) break;
    if (words.size() + 1 == max_words) {
      std::size_t end = line.find_last_not_of(" \t");
      words.push_back(line.substr(i, end + 1 - i));
      break;
    }
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    words.push_back(line.substr(start, i - start));
  }
  return words;
}

template <typename T>
std::optional<T> Number(std::string_view text, int base) {
  if (base == 16 && (text.starts_with("0x") || text.starts_with("0X"))) text.remove_prefix(2);
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string Ok(std::string_view text = {}) {
  return text.empty() ? "OK\n" : "OK " + std::string(text) + "\n";
}

std::string Err(std::string_view reason) { return "ERR " + std::string(reason) + "\n"; }

Chip* ChipNamed(Phone& phone, std::string_view name) {
  if (name == "master") return &phone.Master();
  if (name == "slave") return &phone.Slave();
  return nullptr;
}

constexpr std::string_view kHelp =
    "power on|off; fault <point> <kind> [times [skip]]; fault clear; extra-connect-req N; "
    "flash-id master|slave <20 hex digits>; nor-read master|slave <addr hex> <len>; "
    "nor-write master|slave <addr hex> <hex bytes>; nor-save|nor-load master|slave <path>; "
    "nor-erase master|slave; qvs-list master|slave; qvs-save|qvs-load master|slave <path>; "
    "qvs-format-fail master|slave on [function-hex error-hex] | off; nand-save master <path>; "
    "replug; frames; frames-clear; state; quit";

// Seconds since 1980 of the host's clock (UTC), stamping what a load makes.
std::uint32_t WallClockSince1980() {
  auto unix = std::chrono::duration_cast<std::chrono::seconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count();
  constexpr std::int64_t k1980 = 315532800;
  return unix > k1980 ? static_cast<std::uint32_t>(unix - k1980) : 0;
}

std::string QvsCommand(const std::vector<std::string_view>& w, Phone& phone) {
  std::string_view command = w[0];
  Chip* chip = w.size() > 1 ? ChipNamed(phone, w[1]) : nullptr;
  if (!chip) return Err(std::string(command) + ": first argument must be master or slave");
  QvsFileSystem& qvs = chip->Qvs();
  if (command == "qvs-list") {
    if (w.size() != 2) return Err("usage: qvs-list master|slave");
    std::vector<std::string> lines = qvs.Describe();
    std::string reply = "OK " + std::to_string(lines.size()) + "\n";
    for (const std::string& l : lines) reply += l + "\n";
    return reply;
  }
  if (command == "qvs-format-fail") {
    if (w.size() == 3 && w[2] == "off") {
      chip->SetFormatFailure(std::nullopt);
      return Ok();
    }
    if ((w.size() != 3 && w.size() != 5) || w[2] != "on") {
      return Err("usage: qvs-format-fail master|slave on [function-hex error-hex] | off");
    }
    QvsFormatFailure failure{0x01, 0x000000FF};
    if (w.size() == 5) {
      std::optional<std::uint8_t> function = Number<std::uint8_t>(w[3], 16);
      std::optional<std::uint32_t> error = Number<std::uint32_t>(w[4], 16);
      if (!function || !error) return Err("function code: 2 hex digits, error code: 8");
      failure = {*function, *error};
    }
    chip->SetFormatFailure(failure);
    return Ok();
  }
  if (w.size() != 3)
    return Err("usage: " + std::string(command) + " " + std::string(w[1]) + " <path>");
  std::string path(w[2]);
  if (command == "nand-save") {
    std::optional<NandGeometry> nand = chip->Nand();
    if (!nand) return Err("the " + chip->Name() + " chip has no NAND known for its flash ID");
    std::string error = NandImage(*nand, qvs.Image()).Save(path);
    return error.empty() ? Ok(std::to_string(nand->FullBytes())) : Err(error);
  }
  std::string error = command == "qvs-save" ? qvs.Save(path) : qvs.Load(path, WallClockSince1980());
  return error.empty() ? Ok() : Err(error);
}

std::string Fault(const std::vector<std::string_view>& w, Phone& phone) {
  if (w.size() == 2 && w[1] == "clear") {
    phone.Faults().Clear();
    return Ok();
  }
  if (w.size() < 3 || w.size() > 5)
    return Err("usage: fault <point> <kind> [times [skip]] | fault clear");
  std::optional<FaultPoint> point = FaultPointFromName(w[1]);
  if (!point) return Err("unknown fault point " + std::string(w[1]));
  std::optional<FaultKind> kind = FaultKindFromName(w[2]);
  if (!kind)
    return Err("unknown fault kind " + std::string(w[2]) +
               " (drop, wrong, short, garbage, unplug)");
  int times = 1;
  if (w.size() >= 4) {
    std::optional<int> n = w[3] == "always" ? std::optional<int>(0) : Number<int>(w[3], 10);
    if (!n || *n < 0) return Err("times must be a number >= 0 or \"always\"");
    times = *n;
  }
  int skip = 0;
  if (w.size() == 5) {
    std::optional<int> n = Number<int>(w[4], 10);
    if (!n || *n < 0) return Err("skip must be a number >= 0");
    skip = *n;
  }
  phone.Faults().Arm(*point, *kind, times, skip);
  return Ok(phone.Faults().Describe());
}

std::string NorCommand(const std::vector<std::string_view>& w, Phone& phone) {
  std::string_view command = w[0];
  Chip* chip = w.size() > 1 ? ChipNamed(phone, w[1]) : nullptr;
  if (!chip) return Err(std::string(command) + ": first argument must be master or slave");
  NorFlash& nor = chip->Nor();
  if (command == "nor-erase") {
    if (w.size() != 2) return Err("usage: nor-erase master|slave");
    nor.EraseAll();
    return Ok();
  }
  if (command == "nor-save" || command == "nor-load") {
    if (w.size() != 3) return Err("usage: " + std::string(command) + " master|slave <path>");
    std::string error =
        command == "nor-save" ? nor.Save(std::string(w[2])) : nor.Load(std::string(w[2]));
    return error.empty() ? Ok() : Err(error);
  }
  if (w.size() != 4) {
    return Err(command == "nor-read" ? "usage: nor-read master|slave <addr hex> <len>"
                                     : "usage: nor-write master|slave <addr hex> <hex bytes>");
  }
  std::optional<std::uint32_t> address = Number<std::uint32_t>(w[2], 16);
  if (!address) return Err("bad address " + std::string(w[2]));
  if (command == "nor-read") {
    std::optional<std::size_t> length = Number<std::size_t>(w[3], 10);
    if (!length || *length > kMaxNorReadLength) {
      return Err("length must be 0.." + std::to_string(kMaxNorReadLength));
    }
    if (*address > nor.Size() || *length > nor.Size() - *address) {
      return Err("range past the end of the " + chip->Name() + " NOR");
    }
    return Ok(HexString(nor.Read(*address, *length)));
  }
  std::optional<Bytes> data = ParseHex(w[3]);
  if (!data) return Err("bad hex bytes");
  if (*address > nor.Size() || data->size() > nor.Size() - *address) {
    return Err("range past the end of the " + chip->Name() + " NOR");
  }
  nor.Write(*address, *data);
  return Ok(std::to_string(data->size()));
}

}  // namespace

std::string ExecuteControlCommand(std::string_view line, ControlContext& context) {
  Phone& phone = context.phone;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  // The last argument of these may hold spaces (hex bytes, a path).
  std::size_t max_words = line.starts_with("nor-write ") ? 4
                          : line.starts_with("nor-save ") || line.starts_with("nor-load ") ||
                                  line.starts_with("qvs-save ") || line.starts_with("qvs-load ") ||
                                  line.starts_with("nand-save ")
                              ? 3
                              : 16;
  std::vector<std::string_view> w = Words(line, max_words);
  if (w.empty()) return Err("empty command");
  std::string_view command = w[0];

  if (command == "power") {
    if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) return Err("usage: power on|off");
    phone.SetPower(w[1] == "on", context.now);
    return Ok();
  }
  if (command == "fault") return Fault(w, phone);
  if (command == "extra-connect-req") {
    std::optional<int> n = w.size() == 2 ? Number<int>(w[1], 10) : std::nullopt;
    if (!n || *n < 0 || *n > 100000) return Err("usage: extra-connect-req N (0..100000)");
    phone.SetExtraConnectRequests(*n);
    return Ok();
  }
  if (command == "flash-id") {
    Chip* chip = w.size() == 3 ? ChipNamed(phone, w[1]) : nullptr;
    std::optional<Bytes> id = chip ? ParseHex(w[2]) : std::nullopt;
    if (!chip || !id || id->size() != 10) {
      return Err("usage: flash-id master|slave <20 hex digits>");
    }
    chip->SetFlashId(std::move(*id));
    return Ok();
  }
  if (command == "nor-read" || command == "nor-write" || command == "nor-save" ||
      command == "nor-load" || command == "nor-erase") {
    return NorCommand(w, phone);
  }
  if (command == "qvs-list" || command == "qvs-save" || command == "qvs-load" ||
      command == "qvs-format-fail" || command == "nand-save") {
    return QvsCommand(w, phone);
  }
  if (command == "frames") {
    std::vector<std::string> lines = phone.Frames().Lines();
    std::string reply = "OK " + std::to_string(lines.size()) + "\n";
    for (const std::string& l : lines) reply += l + "\n";
    return reply;
  }
  if (command == "frames-clear") {
    phone.Frames().Clear();
    return Ok();
  }
  if (command == "state") {
    return Ok(phone.Describe() + " host=" + std::to_string(context.host_baud) +
              (context.com_name.empty() ? "" : " com=" + context.com_name));
  }
  if (command == "quit") {
    context.quit = true;
    return Ok();
  }
  if (command == "help") return Ok(kHelp);
  return Err("unknown command " + std::string(command) + "; commands: " + std::string(kHelp));
}

}  // namespace phone_sim

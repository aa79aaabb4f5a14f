#include "sim/options.h"

#include <charconv>
#include <cstdlib>
#include <utility>

namespace qdqm::sim {

namespace {

bool decimal(std::string_view text, uint32_t& out) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && r.ec == std::errc{} && r.ptr == text.data() + text.size();
}

// A byte value, decimal or 0x-prefixed hex ("26", "0x1a").
bool byteValue(std::string_view text, uint8_t& out) {
  const std::string v(text);
  char* end = nullptr;
  const unsigned long r = std::strtoul(v.c_str(), &end, 0);
  if (v.empty() || *end != '\0' || r > 0xFF || v[0] == '-' || v[0] == '+') return false;
  out = static_cast<uint8_t>(r);
  return true;
}

// "X.YY" in hex digits as two bytes ("1.05" = 01 05, "a.05" = 0A 05).
bool hexVersion(std::string_view text, std::array<uint8_t, 2>& out) {
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) return false;
  unsigned major = 0, minor = 0;
  const auto a = std::from_chars(text.data(), text.data() + dot, major, 16);
  const auto b = std::from_chars(text.data() + dot + 1, text.data() + text.size(), minor, 16);
  if (a.ec != std::errc{} || a.ptr != text.data() + dot || b.ec != std::errc{} ||
      b.ptr != text.data() + text.size() || major > 255 || minor > 255) {
    return false;
  }
  out = {static_cast<uint8_t>(major), static_cast<uint8_t>(minor)};
  return true;
}

// Two bytes as four hex digits ("0100" = 01 00).
bool hexBytes(std::string_view text, std::array<uint8_t, 2>& out) {
  unsigned value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (text.size() != 4 || r.ec != std::errc{} || r.ptr != text.data() + text.size()) return false;
  out = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return true;
}

// A decoder's version text: printable, without blanks.
bool printable(std::string_view text, std::string& out) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c <= ' ' || c > '~') return false;
  }
  out = text;
  return true;
}

// A coprocessor's version text: 4 printable characters ("1.23").
bool versionText(std::string_view text, std::string& out) {
  return text.size() == 4 && printable(text, out);
}

bool moduleType(std::string_view text) {
  return text.size() == 4 || text.size() == 5;
}

constexpr std::pair<std::string_view, DecoderKind> kDecoders[] = {
    {"none", DecoderKind::None},
    {"swid", DecoderKind::Swid},
    {"vers", DecoderKind::Vers},
    {"bootloader", DecoderKind::BootLoader},
};

constexpr std::pair<std::string_view, CoprocessorKind> kCoprocessors[] = {
    {"none", CoprocessorKind::None},
    {"fpga", CoprocessorKind::Fpga},
    {"crc32", CoprocessorKind::Crc32Decoder},
    {"crc16", CoprocessorKind::Crc16Decoder},
};

template <typename Kind, size_t N>
bool word(const std::pair<std::string_view, Kind> (&words)[N], std::string_view text,
          std::optional<Kind>& out) {
  for (const auto& [w, kind] : words) {
    if (text == w) return out = kind, true;
  }
  return false;
}

// A module's options as they come; the defaults that follow from its type are settled at its end.
struct Pending {
  ModuleOptions m;
  std::optional<Protocol> protocol;
  std::optional<CoprocessorKind> coprocessor;
  std::optional<DecoderKind> decoder;
  std::optional<uint8_t> code;
  std::string first;  // the first option given for it
};

using Setter = bool (*)(Pending&, std::string_view);
// The options that describe one module. Without a value, the setter gets "".
struct ModuleOption {
  std::string_view name;
  bool value;
  bool inSlot;  // also after --slot (a slot's type comes with --slot)
  Setter set;
};
constexpr ModuleOption kModuleOptions[] = {
    {"--module", true, false,
     [](Pending& p, std::string_view v) { return p.m.profile.type = v, moduleType(v); }},
    {"--protocol", true, true,
     [](Pending& p, std::string_view v) {
       p.protocol = v == "record" ? Protocol::Record : Protocol::Raw;
       return v == "raw" || v == "record";
     }},
    {"--version", true, true,
     [](Pending& p, std::string_view v) { return hexVersion(v, p.m.profile.software); }},
    {"--bootloader", true, true,
     [](Pending& p, std::string_view v) { return hexVersion(v, p.m.profile.bootLoader); }},
    {"--new-version", true, true,
     [](Pending& p, std::string_view v) { return hexVersion(v, p.m.profile.versionAfterReset); }},
    // The revision as the module reports it: a byte value.
    {"--hw", true, true,
     [](Pending& p, std::string_view v) { return byteValue(v, p.m.profile.hardware); }},
    {"--top-speed", true, true,
     [](Pending& p, std::string_view v) {
       if (v.size() != 1 || v[0] < '0' || v[0] > '3') return false;
       return p.m.profile.topSpeed = v[0], true;
     }},
    {"--wake-up", false, true,
     [](Pending& p, std::string_view) { return p.m.profile.needsWakeUp = true; }},
    {"--restart-ms", true, true,
     [](Pending& p, std::string_view v) { return decimal(v, p.m.profile.resetSilenceMs); }},
    {"--coprocessor", true, true,
     [](Pending& p, std::string_view v) { return word(kCoprocessors, v, p.coprocessor); }},
    {"--coproc-version", true, true,
     [](Pending& p, std::string_view v) { return versionText(v, p.m.profile.coprocessorVersion); }},
    {"--coproc-new-version", true, true,
     [](Pending& p, std::string_view v) {
       return versionText(v, p.m.profile.coprocessorVersionAfter);
     }},
    {"--fpga-version", true, true,
     [](Pending& p, std::string_view v) { return hexBytes(v, p.m.profile.fpga); }},
    {"--fpga-new-version", true, true,
     [](Pending& p, std::string_view v) { return hexBytes(v, p.m.profile.fpgaAfterUpdate); }},
    {"--decoder", true, true,
     [](Pending& p, std::string_view v) { return word(kDecoders, v, p.decoder); }},
    {"--decoder-version", true, true,
     [](Pending& p, std::string_view v) { return printable(v, p.m.profile.decoderVersion); }},
    {"--decoder-new-version", true, true,
     [](Pending& p, std::string_view v) { return printable(v, p.m.profile.decoderVersionAfter); }},
    {"--decoder-bootloader", true, true,
     [](Pending& p, std::string_view v) { return printable(v, p.m.profile.bootLoaderText); }},
    {"--decoder-restart-ms", true, true,
     [](Pending& p, std::string_view v) { return decimal(v, p.m.profile.decoderRestartMs); }},
    {"--flash-out", true, true,
     [](Pending& p, std::string_view v) { return p.m.flashOut = v, !v.empty(); }},
    {"--fpga-out", true, true,
     [](Pending& p, std::string_view v) { return p.m.fpgaOut = v, !v.empty(); }},
    {"--decoder-out", true, true,
     [](Pending& p, std::string_view v) { return p.m.decoderOut = v, !v.empty(); }},
};

// The base unit's own fault for one slot, given with --fault after --slot.
constexpr std::string_view kWrongSlotByte = "wrong-slot-byte";

constexpr std::pair<std::string_view, unsigned> kBaseUnits[] = {{"A", 8}, {"B", 9}};

// Settles what the options left to the module's type; false when a slot's module has no type
// code of its own and none was given.
bool finish(Pending& p, bool inSlot, std::string& error) {
  Profile& profile = p.m.profile;
  const Protocol byType = inSlot ? defaultSlotProtocol(profile.type) : Protocol::Raw;
  profile.protocol = p.protocol.value_or(byType);
  profile.coprocessor = p.coprocessor.value_or(defaultCoprocessor(profile.type));
  profile.decoder = p.decoder.value_or(defaultDecoder(profile.type));
  if (!inSlot) return true;
  const std::optional<uint8_t> code = p.code ? p.code : defaultTypeCode(profile.type);
  if (!code) {
    error = "no type code known for " + profile.type + ": give --code 0xNN";
    return false;
  }
  p.m.code = *code;
  return true;
}

}  // namespace

std::string_view decoderName(DecoderKind kind) {
  for (const auto& [w, k] : kDecoders) {
    if (k == kind) return w;
  }
  return "none";
}

std::optional<Options> parseOptions(std::span<const std::string_view> args, std::string& error) {
  Options o;
  Pending single;
  std::map<unsigned, Pending> slots;
  Pending* current = &single;  // the module the module options apply to
  const auto inSlot = [&] { return current != &single; };
  std::optional<std::array<uint8_t, 2>> baseVersion;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    const size_t at = i;
    auto value = [&]() -> std::string_view { return i + 1 < args.size() ? args[++i] : ""; };
    auto bad = [&](std::string_view why = {}) -> std::optional<Options> {
      error = "bad argument " + std::string(a);
      // append(), not " " + std::string: g++ 12 at -O3 sees an overlapping copy in the latter
      // (a false -Wrestrict alarm in the Release build of the packages).
      if (i != at) error.append(" ").append(args[i]);
      if (!why.empty()) error.append(": ").append(why);
      return std::nullopt;
    };
    if (a == "--help") {
      o.help = true;
      return o;
    }
    if (a == "--com") {
      const std::string_view v = value();
      const auto r = std::from_chars(v.data(), v.data() + v.size(), o.com);
      if (v.empty() || r.ec != std::errc{} || r.ptr != v.data() + v.size() || o.com == 0) {
        return bad();
      }
    } else if (a == "--wire-timing") {
      o.wireTiming = true;
    } else if (a == "--report-flash") {
      o.reportFlash = true;
    } else if (a == "--base-unit") {
      const std::string_view v = value();
      o.baseUnit.reset();
      for (const auto& [name, count] : kBaseUnits) {
        if (v != name) continue;
        o.baseUnit.emplace();
        o.baseUnit->slots = count;
      }
      if (!o.baseUnit) return bad("A (8 slots) or B (9 slots)");
    } else if (a == "--base-version") {
      std::array<uint8_t, 2> v{};
      if (!hexVersion(value(), v)) return bad();
      baseVersion = v;
    } else if (a == "--slot") {
      const std::string_view v = value();
      const size_t eq = v.find('=');
      const std::string_view number = v.substr(0, std::min(eq, v.size()));
      uint32_t n = 0;
      if (eq == std::string_view::npos || !decimal(number, n) || n < 1 || n > kMaxSlots ||
          !moduleType(v.substr(eq + 1))) {
        return bad("K=TYPE, K 1..9");
      }
      if (slots.contains(n)) return bad("slot given twice");
      current = &slots[n];
      current->m.profile.type = v.substr(eq + 1);
    } else if (a == "--code") {
      uint8_t code = 0;
      if (!byteValue(value(), code)) return bad();
      if (!inSlot()) return bad("a slot's type code: put it after --slot K=TYPE");
      current->code = code;
    } else if (a == "--fault") {
      const std::string_view v = value();
      if (v.starts_with(kWrongSlotByte)) {
        if (!inSlot()) return bad("a base unit's fault: put it after --slot K=TYPE");
        // wrong-slot-byte: every answer; wrong-slot-byte=N: from the Nth slot frame on.
        uint32_t from = 1;
        const std::string_view rest = v.substr(kWrongSlotByte.size());
        if (!rest.empty() && (rest[0] != '=' || !decimal(rest.substr(1), from) || from == 0)) {
          return bad();
        }
        current->m.wrongSlotFrom = from;
      } else if (parseFault(v, current->m.faults) != 1) {
        return bad();
      }
      if (current->first.empty()) current->first = a;
    } else {
      const ModuleOption* option = nullptr;
      for (const ModuleOption& m : kModuleOptions) {
        if (m.name == a) option = &m;
      }
      if (!option) return bad("unknown");
      if (inSlot() && !option->inSlot) return bad("a slot's type comes with --slot K=TYPE");
      if (!option->set(*current, option->value ? value() : "")) return bad();
      if (current->first.empty()) current->first = a;
    }
  }

  if (o.com == 0) {
    error = "--com N is required";
    return std::nullopt;
  }
  if (!o.baseUnit) {
    if (!slots.empty() || baseVersion) {
      error = slots.empty() ? "--base-version needs --base-unit" : "--slot needs --base-unit";
      return std::nullopt;
    }
    finish(single, false, error);
    o.single = std::move(single.m);
    return o;
  }
  if (!single.first.empty()) {
    error = single.first + " describes a module: with --base-unit put it after --slot K=TYPE";
    return std::nullopt;
  }
  if (baseVersion) o.baseUnit->version = *baseVersion;
  for (auto& [n, p] : slots) {
    if (n > o.baseUnit->slots) {
      error = "slot " + std::to_string(n) + ": the base unit has " +
              std::to_string(o.baseUnit->slots) + " slots";
      return std::nullopt;
    }
    if (!finish(p, true, error)) {
      error = "slot " + std::to_string(n) + ": " + error;
      return std::nullopt;
    }
    o.slots[n] = std::move(p.m);
  }
  return o;
}

}  // namespace qdqm::sim

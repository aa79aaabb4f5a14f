#include "tests/soak/soak.h"
#include "procedures/procedures.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/controls.h"
#include "app/update_dialog.h"
#include "link/clock.h"
#include "link/frame_trace.h"
#include "sim/base_unit.h"
#include "sim/controller.h"
#include "tests/support/scripted_host.h"
#include "tests/support/test_bytes.h"

namespace qdqm::soak {

namespace {

using testing::Left;
using testing::SimLine;
using Damage = SimLine::Damage;

constexpr const char* kEntry = "upd2.01";
constexpr size_t kWays = 2;

// The kinds of stage, each behind the module that runs it. A bound is the kind's clean run, the
// longest single wait its stages list (an idle exchange cycle is about 7 ms), and 90 s for a
// Connect that looks for the module at its raised rates and for the longest stretched gap drawn
// (30 s), rounded up:
//   QD21S, QD20A, QD22A  the controller erase, 12000 cycles (84 s)
//   QM41B                a record, 1000 cycles (7 s)
//   QD29E, QM492         the CRC check, 41001 cycles (287 s)
//   QM23_                three update-mode requests of 1000 + 23000 cycles (504 s)
//   QM292                the CRC check, 31001 cycles (217 s)
//   QD09T                the decoder erase, 5000 cycles (35 s)
//   QM65B                the slot search (most of its clean run), its decoder's CRC check (217 s)
//                        and one slot searched again (35 s)
const std::vector<Kind> kKinds = {
    {"QD21S", "controller flash, raw", {Module::QD21S}, false, 180},
    {"QM41B", "controller flash, record", {Module::QM41B}, false, 100},
    {"QD29E", "QD FPGA through the controller record", {Module::QD29E}, false, 390},
    {"QM23_", "QM23 FPGA behind the update mode", {Module::QM23}, false, 620},
    {"QM292", "MPEG decoder in CRC-32 frames", {Module::QM292}, false, 340},
    {"QM492", "MPEG decoder in CRC-16 frames", {Module::QM492}, false, 400},
    {"QD20A", "swid decoder", {Module::QD20A}, false, 200},
    {"QD22A", "VERS decoder", {Module::QD22A}, false, 200},
    {"QD09T", "decoder boot loader", {Module::QD09T}, false, 150},
    {"QM65B",
     "base unit: QM21_ (raw) in slot 1, QM292 with its decoder in slot 2",
     {Module::Slot21, Module::Slot292},
     true,
     640},
};

const char* wayName(Way w) {
  return w == Way::ToDevice ? "to module" : "to tool";
}

const char* damageName(Damage d) {
  switch (d) {
    case Damage::Drop:
      return "drop";
    case Damage::Duplicate:
      return "duplicate";
    case Damage::Gap:
      return "gap";
    case Damage::Gone:
      return "line gone";
  }
  return "?";
}

double logUniform(std::mt19937_64& random, double low, double high) {
  return std::exp(std::uniform_real_distribution<double>(std::log(low), std::log(high))(random));
}

bool chance(std::mt19937_64& random, double p) {
  return std::uniform_real_distribution<double>(0, 1)(random) < p;
}

size_t indexOf(const ModuleSetup& s) {
  const auto all = testing::moduleSetups();
  return static_cast<size_t>(&s - all.data());
}

}  // namespace

std::span<const Kind> kinds() {
  return kKinds;
}

std::string describe(const Plan& plan) {
  if (plan.faultFree()) return "none";
  std::ostringstream os;
  const char* sep = "";
  for (size_t w = 0; w < kWays; ++w) {
    if (plan.flipRate[w] == 0) continue;
    os << sep << "bit flips " << wayName(static_cast<Way>(w)) << " at " << plan.flipRate[w]
       << " a bit";
    sep = "; ";
  }
  for (const SimLine::WireFault& f : plan.faults) {
    os << sep << damageName(f.damage) << " " << wayName(f.way) << " at byte " << f.at;
    if (f.damage == Damage::Gap) os << " (" << f.ms << " ms)";
    sep = "; ";
  }
  return os.str();
}

Plan drawPlan(std::mt19937_64& random, const Traffic& traffic) {
  Plan plan;
  plan.flipSeed = random();
  // One run in ten on a clean line.
  if (chance(random, 0.1)) return plan;
  const auto way = [&] { return chance(random, 0.5) ? Way::ToDevice : Way::ToTool; };
  const auto at = [&](Way w) {
    const uint64_t n = std::max<uint64_t>(1, traffic.bytes[static_cast<size_t>(w)]);
    return std::uniform_int_distribution<uint64_t>(0, n - 1)(random);
  };
  while (plan.faultFree()) {
    for (size_t w = 0; w < kWays; ++w) {
      // Between a fifth of a flip and four flips in the bytes a clean run sends that way.
      if (!chance(random, 0.3)) continue;
      const double flips = logUniform(random, 0.2, 4.0);
      plan.flipRate[w] =
          flips / (8.0 * static_cast<double>(std::max<uint64_t>(1, traffic.bytes[w])));
    }
    const std::pair<Damage, double> kinds[] = {
        {Damage::Drop, 0.2}, {Damage::Duplicate, 0.2}, {Damage::Gap, 0.2}, {Damage::Gone, 0.1}};
    for (const auto& [damage, p] : kinds) {
      if (!chance(random, p)) continue;
      SimLine::WireFault f;
      f.damage = damage;
      f.way = way();
      f.at = at(f.way);
      if (damage == Damage::Gap) f.ms = static_cast<uint32_t>(logUniform(random, 1, 30000));
      plan.faults.push_back(f);
    }
  }
  return plan;
}

Bench::Bench() {
  dir_ = std::filesystem::temp_directory_path() /
         ("qdqm-soak-" + std::to_string(static_cast<long>(getpid())));
  dir_.make_preferred();
  std::filesystem::remove_all(dir_);
  const auto write = [&](const std::string& name, const std::string& text) {
    const std::filesystem::path path = dir_ / std::filesystem::path(name).make_preferred();
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  };
  for (const ModuleSetup& s : testing::moduleSetups()) {
    files_.push_back(testing::moduleFiles(s));
    write(std::string(s.typeDir) + "/" + kEntry, files_.back().dataFile);
    if (*s.coprocessorFile)
      write(std::string(s.typeDir) + "/" + s.coprocessorFile, files_.back().coprocessor);
  }
}

Bench::~Bench() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

const testing::ModuleFiles& Bench::files(const ModuleSetup& s) const {
  return files_[indexOf(s)];
}

namespace {

// The window model against the module, or the base unit with its modules, on COM1.
struct Window {
  VirtualClock clock;
  testing::ScriptedHost host;
  std::unique_ptr<sim::Controller> single;
  std::unique_ptr<sim::BaseUnit> unit;
  testing::SimPortOpener opener{clock};
  UpdateDialog dlg{opener, clock, host, windowProcedures()};

  sim::Controller& module(size_t i) {
    return unit ? *unit->module(static_cast<unsigned>(i + 1)) : *single;
  }
  SimLine& line() { return *opener.line(1); }
  std::string sent() {
    std::string s;
    for (const auto& w : line().writes) s.append(w.bytes.begin(), w.bytes.end());
    return s;
  }
};

bool keepsItsFiles(const sim::Controller& m, const ModuleSetup& s, const testing::ModuleFiles& f) {
  return testing::holds(*s.coprocessorFile ? Left::Everything : Left::NewFlash, m, s, f.image,
                        f.coprocessor);
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Whether the tool wrote the record as the module took it. A hex digit's case says nothing (a
// flip of bit 5 turns A into a), so both are compared in upper case; `sent` is already.
bool wasSent(const std::string& record, const std::string& sent) {
  return sent.find(upper(record)) != std::string::npos;
}

// Why a module that was reported updated keeps an image other than its file, where the protocol
// has no means to see that damage; empty when nothing of the kind explains it. `sent` is every
// byte the tool wrote.
std::string blindSpot(const sim::Controller& m, const ModuleSetup& s, const testing::ModuleFiles& f,
                      const std::string& sent, const SimLine::Damaged& toDevice) {
  const bool damaged = toDevice.flippedBytes || toDevice.dropped || toDevice.duplicated;
  if (m.flash() != f.image || !m.programmingEnded()) {
    if (!damaged) return {};
    for (const sim::Controller::AnsweredRecord& r : m.answeredRecords()) {
      if (r.answer == '.' && !wasSent(r.text, sent))
        return "a record damaged on the wire with its checksum still right";
    }
    if (m.flash() != f.image) return {};
    // Programmed, but the command that ends the programming did not arrive whole.
    if (s.protocol == sim::Protocol::Raw && sent.find(":00000001FF") != std::string::npos)
      return "the end record damaged on the wire: the tool reads no answer to it";
    if (s.protocol == sim::Protocol::Record && sent.find(":00000008F8") != std::string::npos)
      return "Reset damaged on the wire: the echo of its answer looks the same";
    return {};
  }
  if (!*s.coprocessorFile) return {};
  const bool fpga =
      s.coprocessor == sim::CoprocessorKind::Fpga ||
      (s.coprocessor == sim::CoprocessorKind::None && s.decoder == sim::DecoderKind::None);
  const std::string image = testing::text(fpga ? m.fpgaImage() : m.decoderImage());
  if (image == f.coprocessor) return {};
  // The swid decoder takes its image as it comes, and a pause of a second ends it.
  constexpr uint32_t kSwidImageEndMs = 1000;
  if (s.decoder == sim::DecoderKind::Swid && damaged)
    return "swid image damaged on the wire: it has neither length nor check";
  if (s.decoder == sim::DecoderKind::Swid && toDevice.longestGapMs >= kSwidImageEndMs)
    return "swid image cut short by a pause of a second on the wire: a pause ends it";
  if (!damaged) return {};
  constexpr size_t kHeader = 20;
  const bool headerOutsideCrc =
      s.coprocessor == sim::CoprocessorKind::Crc32Decoder || s.decoder == sim::DecoderKind::Vers;
  if (headerOutsideCrc && image.size() == f.coprocessor.size() &&
      image.compare(kHeader, std::string::npos, f.coprocessor, kHeader) == 0)
    return "image header damaged on the wire: the CRC leaves it out";
  if (s.decoder == sim::DecoderKind::BootLoader && image.size() == f.coprocessor.size())
    return "RAM load damaged on the wire: it has no check";
  return {};
}

}  // namespace

Outcome run(const Bench& bench, const Kind& kind, const Plan& plan, bool detailed) {
  Window w;
  if (kind.baseUnit) {
    w.unit = std::make_unique<sim::BaseUnit>(sim::BaseUnitSetup{9, {0x02, 0x22}});
    for (size_t i = 0; i < kind.modules.size(); ++i)
      w.unit->plug(static_cast<unsigned>(i + 1),
                   testing::profileOf(testing::setupOf(kind.modules[i])));
    w.opener.attach(1, *w.unit);
  } else {
    w.single =
        std::make_unique<sim::Controller>(testing::profileOf(testing::setupOf(kind.modules[0])));
    w.opener.attach(1, *w.single);
  }
  w.dlg.selectPort(1);
  w.dlg.programDir = bench.programDir().string();
  if (kind.baseUnit) {
    w.dlg.control(ids::BaseUnit).checked = true;
    w.dlg.onSlotPanelToggleClicked();
  }
  SimLine& line = w.line();
  for (size_t i = 0; i < kWays; ++i)
    if (plan.flipRate[i] > 0)
      line.flipBits(static_cast<Way>(i), plan.flipRate[i], plan.flipSeed + i);
  for (const SimLine::WireFault& f : plan.faults) line.damage(f);

  Outcome out;
  const uint64_t startUs = w.clock.nowUs();
  const auto hostFailures = [] {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test ? test->result()->total_part_count() : 0;
  };
  const int failuresBefore = hostFailures();
  if (detailed) {
    std::string shown;
    w.host.onControlsChanged = [&, shown]() mutable {
      if (w.dlg.statusText == shown) return;
      shown = w.dlg.statusText;
      out.statuses.push_back(std::to_string((w.clock.nowUs() - startUs) / 1000) + " ms  " + shown);
    };
  }
  w.dlg.onConnectClicked();
  out.connected = w.dlg.deviceText + " (type " + w.dlg.typeText + ")";
  // A technician picks the file in every row Connect ticked and presses Update.
  std::vector<bool> checked(kind.modules.size(), true);
  bool anyChecked = !kind.baseUnit;
  for (size_t i = 0; kind.baseUnit && i < kind.modules.size(); ++i) {
    checked[i] = w.dlg.control(kSlotRows[i].check).checked;
    anyChecked = anyChecked || checked[i];
  }
  if (w.dlg.control(ids::Update).enabled && anyChecked) {
    for (size_t i = 0; i < kind.modules.size(); ++i) {
      if (!checked[i]) continue;
      const int listId = kind.baseUnit ? kSlotRows[i].versionList : ids::VersionList;
      Control& list = w.dlg.control(listId);
      const auto entry = std::find(list.items.begin(), list.items.end(), kEntry);
      if (entry == list.items.end()) continue;
      list.selection = static_cast<int>(entry - list.items.begin());
      if (kind.baseUnit)
        w.dlg.onSlotVersionSelected(static_cast<int>(i));
      else
        w.dlg.onVersionSelected();
    }
    w.dlg.onUpdateClicked();
    out.offered = true;
  }
  // The technician closes the window (after a verdict the answer No to "update another" did).
  if (!w.dlg.ended()) w.dlg.onExitClicked();
  out.elapsedUs = w.clock.nowUs() - startUs;
  out.verdict = w.dlg.verdict == Verdict::Success ? 1 : w.dlg.verdict == Verdict::Failure ? 2 : 0;
  out.result = runResult(w.dlg);
  out.moduleChanged = w.dlg.port.moduleChanged;
  out.lineLost = line.lost();
  out.settings = line.settings();
  out.requested = line.requested();
  for (size_t i = 0; i < kWays; ++i) out.damaged[i] = line.damaged(static_cast<Way>(i));
  out.boxes = w.host.texts();
  out.hostFailure = hostFailures() != failuresBefore;

  if (detailed) {
    // The bytes on the tool's side of the line, both ways in the order of their times: as the
    // tool wrote them, and as they reached it.
    std::vector<std::pair<uint64_t, std::string>> lines;
    for (const SimLine::Written& x : line.writes)
      lines.emplace_back(
          x.atUs, formatTraceLine(x.atUs - startUs, TraceDirection::Tx, x.settings, x.bytes));
    for (const SimLine::Written& x : line.reads)
      lines.emplace_back(
          x.atUs, formatTraceLine(x.atUs - startUs, TraceDirection::Rx, x.settings, x.bytes));
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& l : lines) out.traffic += l.second;
  }
  const std::string sent = upper(w.sent());
  for (size_t i = 0; i < kind.modules.size(); ++i) {
    const ModuleSetup& s = testing::setupOf(kind.modules[i]);
    sim::Controller& m = w.module(i);
    m.powerOff();
    ModuleOutcome mo;
    mo.setup = &s;
    mo.checked = checked[i];
    const testing::ModuleFiles& f = bench.files(s);
    mo.keepsItsFiles = keepsItsFiles(m, s, f);
    mo.changed = m.changed();
    for (const sim::Controller::AnsweredRecord& r : m.answeredRecords()) {
      if (!r.loader || wasSent(r.text, sent)) continue;
      ++mo.damagedRecords;
      mo.damagedRecordsTaken += r.answer == '.';
    }
    if (kind.baseUnit) {
      mo.slotState = w.dlg.slots[i].state;
      mo.claimedUpdated = out.offered && mo.slotState == SlotUpdated;
    } else {
      mo.claimedUpdated = out.verdict == 1;
    }
    if (mo.claimedUpdated && !mo.keepsItsFiles)
      mo.blindSpot = blindSpot(m, s, f, sent, out.damaged[0]);
    out.modules.push_back(mo);
  }
  return out;
}

std::vector<std::string> brokenInvariants(const Kind& kind, const Outcome& o) {
  std::vector<std::string> broken;
  const auto fail = [&](const std::string& text) { broken.push_back(text); };
  bool anyChanged = false, allKeep = true, allCheckedKeep = true;
  for (const ModuleOutcome& m : o.modules) {
    anyChanged = anyChanged || m.changed;
    allKeep = allKeep && m.keepsItsFiles;
    allCheckedKeep = allCheckedKeep && (!m.checked || m.keepsItsFiles);
    // 1. Reported updated only when every image it keeps is its file; damage the protocol has
    // no check for is counted apart (blindSpot).
    if (m.claimedUpdated && !m.keepsItsFiles && m.blindSpot.empty())
      fail(std::string("1: ") + m.setup->type +
           " reported updated, but an image it keeps is not its file");
  }
  // 2. Within what the time-outs allow.
  if (o.elapsedUs > uint64_t{kind.boundSeconds} * 1'000'000)
    fail("2: the run took " + std::to_string(o.elapsedUs / 1000) + " ms, more than " +
         std::to_string(kind.boundSeconds) + " s");
  // 3. The line back at 19200 baud without parity, as set and as asked for.
  const LineSettings idle{19200, Parity::None};
  if (!o.lineLost && (o.settings != idle || o.requested != idle))
    fail("3: the line is left at " + std::to_string(o.settings.baud) + " baud, parity " +
         std::to_string(static_cast<int>(o.settings.parity)) + " (asked " +
         std::to_string(o.requested.baud) + ", " +
         std::to_string(static_cast<int>(o.requested.parity)) + ")");
  // 4. The result and module_changed true to what the modules saw.
  if (anyChanged && !o.moduleChanged) fail("4: a module keeps a change, module_changed is false");
  if (anyChanged && o.result == RunResult::NotStarted)
    fail("4: a module keeps a change, the result is not-started");
  if (o.result == RunResult::Updated && !(kind.baseUnit ? allCheckedKeep : allKeep)) {
    bool explained = true;
    for (const ModuleOutcome& m : o.modules)
      explained = explained && (m.keepsItsFiles || !m.checked || !m.blindSpot.empty());
    if (!explained) fail("4: the result is updated, but a module does not keep its files");
  }
  if (o.hostFailure) fail("a box came up under the wait cursor");
  return broken;
}

}  // namespace qdqm::soak

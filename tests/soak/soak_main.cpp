// qdqm-soak [RUNS [SEED]] [--list-silent] [--run N [--trace]]: RUNS update runs (default 10000,
// seed 1) over lines that damage bytes at random, the kinds of stage in turn; every run is judged
// by the invariants of tests/soak/soak.h. A run that breaks one is printed with its seed, number
// and faults, and `--run N` replays it alone with the status lines and boxes it showed (`--trace`:
// and its frames). `--list-silent` names every run whose module kept damage the protocol has no
// means to see. The tables at the end are those of docs/soak.md.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "tests/soak/soak.h"

namespace qdqm::soak {
namespace {

struct Options {
  uint64_t runs = 10000;
  uint64_t seed = 1;
  std::optional<uint64_t> only;  // replay this run alone
  bool trace = false;            // and print its frames
  bool listSilent = false;       // name every run that left damage the protocol cannot see
};
Options options;
std::vector<uint64_t> cleanUs;  // the virtual time of each kind's clean run

uint64_t splitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Each run draws from a generator of its own, so that any run is replayed alone.
uint64_t runSeed(uint64_t seed, uint64_t run) {
  return splitMix(seed ^ splitMix(run));
}

// A run that neither ends nor moves the virtual clock is cut off by the wall clock.
constexpr unsigned kWatchdogSeconds = 120;
char watchdogText[1024];
void watchdog(int) {
  const ssize_t ignored = write(STDERR_FILENO, watchdogText, std::strlen(watchdogText));
  (void)ignored;
  _exit(3);
}

std::string replay(uint64_t run) {
  return "scripts/soak.sh 1 " + std::to_string(options.seed) + " --run " + std::to_string(run);
}

const char* verdictName(int verdict) {
  return verdict == 1 ? "success verdict" : verdict == 2 ? "failure verdict" : "no verdict";
}

std::string report(uint64_t run, const Kind& kind, const Plan& plan, const Outcome& o,
                   const std::vector<std::string>& broken) {
  std::ostringstream os;
  os << "run " << run << " (seed " << options.seed << "), " << kind.name << " (" << kind.stage
     << ")\n  replay: " << replay(run) << "\n  faults: " << describe(plan) << "\n  done: ";
  for (size_t w = 0; w < 2; ++w) {
    const testing::SimLine::Damaged& d = o.damaged[w];
    os << (w ? "; to tool " : "to module ") << d.bytes << " bytes, " << d.flippedBits
       << " bits flipped in " << d.flippedBytes << " bytes, " << d.dropped << " dropped, "
       << d.duplicated << " duplicated, " << d.delayed << " gaps" << (d.gone ? ", gone" : "");
  }
  os << "\n  " << (o.offered ? "Update pressed" : "no update offered") << ", "
     << verdictName(o.verdict) << ", result " << runResultName(o.result) << " ("
     << exitStatusOf(o.result) << ")" << (o.moduleChanged ? ", module_changed" : "") << ", "
     << o.elapsedUs / 1000 << " ms" << (o.lineLost ? ", line gone" : "");
  for (const ModuleOutcome& m : o.modules) {
    os << "\n  " << m.setup->type << (m.setup->inSlot ? " in a slot" : "")
       << (m.checked ? "" : " (not ticked)") << ": "
       << (m.keepsItsFiles ? "keeps its files" : "does not keep its files")
       << (m.changed ? ", changed" : ", unchanged");
    if (m.slotState >= 0) os << ", slot state " << m.slotState;
    if (!m.blindSpot.empty()) os << ", " << m.blindSpot;
  }
  if (options.only) os << "\n  connected: " << o.connected;
  for (const std::string& s : o.statuses) os << "\n  status: " << s;
  for (const std::string& b : o.boxes) {
    std::string text = b;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
      text.replace(at, 1, "\\n");
    os << "\n  box: " << text;
  }
  for (const std::string& b : broken) os << "\n  INVARIANT " << b;
  if (options.trace) os << "\n" << o.traffic;
  return os.str();
}

// The counts of the tables.
struct KindCounts {
  uint64_t runs = 0, faultFree = 0, notOffered = 0, verdicts[3] = {0, 0, 0},
           results[4] = {0, 0, 0, 0};
  uint64_t changed = 0, flagWithoutChange = 0, silent = 0, unexplained = 0, broken = 0;
  uint64_t damagedToModule = 0;  // runs whose bytes to the module were flipped, lost or doubled
  uint64_t maxElapsedUs = 0;
  uint64_t longestRun = 0;
};

struct Counts {
  std::vector<KindCounts> kinds;
  // Faults drawn and faults that happened (the run reached the byte), by name.
  std::map<std::string, std::pair<uint64_t, uint64_t>> faults;
  std::map<std::pair<std::string, std::string>, uint64_t> blindSpots;  // (kind, why)
  uint64_t damagedRecords = 0, damagedRecordsTaken = 0;
  uint64_t virtualUs = 0;  // the runs' virtual time, added up
};

void count(Counts& c, uint64_t run, size_t k, const Plan& plan, const Outcome& o,
           size_t brokenCount) {
  KindCounts& n = c.kinds[k];
  ++n.runs;
  c.virtualUs += o.elapsedUs;
  n.faultFree += plan.faultFree();
  n.notOffered += !o.offered;
  ++n.verdicts[o.verdict];
  ++n.results[exitStatusOf(o.result)];
  bool changed = false;
  for (const ModuleOutcome& m : o.modules) {
    changed = changed || m.changed;
    c.damagedRecords += m.damagedRecords;
    c.damagedRecordsTaken += m.damagedRecordsTaken;
    if (m.claimedUpdated && !m.keepsItsFiles) {
      ++n.silent;
      if (m.blindSpot.empty())
        ++n.unexplained;
      else
        ++c.blindSpots[{kinds()[k].name, m.blindSpot}];
    }
  }
  n.changed += changed;
  n.flagWithoutChange += o.moduleChanged && !changed;
  n.broken += brokenCount > 0;
  if (o.elapsedUs > n.maxElapsedUs) {
    n.maxElapsedUs = o.elapsedUs;
    n.longestRun = run;
  }
  const testing::SimLine::Damaged& toModule = o.damaged[0];
  n.damagedToModule += toModule.flippedBytes || toModule.dropped || toModule.duplicated;

  const auto fault = [&](const std::string& name, bool drawn, bool happened) {
    if (!drawn) return;
    auto& [d, h] = c.faults[name];
    ++d;
    h += happened;
  };
  const char* ways[] = {" to module", " to tool"};
  if (plan.faultFree()) fault("none (clean line)", true, true);
  for (size_t w = 0; w < 2; ++w) {
    const testing::SimLine::Damaged& d = o.damaged[w];
    fault(std::string("bit flips") + ways[w], plan.flipRate[w] > 0, d.flippedBytes > 0);
    for (const testing::SimLine::WireFault& f : plan.faults) {
      if (static_cast<size_t>(f.way) != w) continue;
      switch (f.damage) {
        case testing::SimLine::Damage::Drop:
          fault(std::string("dropped byte") + ways[w], true, d.dropped > 0);
          break;
        case testing::SimLine::Damage::Duplicate:
          fault(std::string("duplicated byte") + ways[w], true, d.duplicated > 0);
          break;
        case testing::SimLine::Damage::Gap:
          fault(std::string("stretched gap") + ways[w], true, d.delayed > 0);
          break;
        case testing::SimLine::Damage::Gone:
          fault(std::string("line gone") + ways[w], true, d.gone);
          break;
      }
    }
  }
  size_t kindsDrawn = plan.faults.size() + (plan.flipRate[0] > 0) + (plan.flipRate[1] > 0);
  if (kindsDrawn > 1) fault("several at once", true, true);
}

void printTables(const Counts& c, double seconds) {
  KindCounts all;
  for (const KindCounts& n : c.kinds) {
    all.runs += n.runs;
    all.faultFree += n.faultFree;
  }
  std::cout << "\nseed " << options.seed << ", " << all.runs << " runs in " << seconds << " s ("
            << c.virtualUs / 3'600'000'000.0
            << " h of virtual time)\n\n| Fault drawn | Runs | Took effect |\n|---|---|---|\n";
  const char* order[] = {
      "none (clean line)",       "bit flips to module",     "bit flips to tool",
      "dropped byte to module",  "dropped byte to tool",    "duplicated byte to module",
      "duplicated byte to tool", "stretched gap to module", "stretched gap to tool",
      "line gone to module",     "line gone to tool",       "several at once"};
  for (const char* name : order) {
    const auto it = c.faults.find(name);
    if (it == c.faults.end()) continue;
    std::cout << "| " << name << " | " << it->second.first << " | " << it->second.second << " |\n";
  }
  std::cout
      << "\n| Kind | Stage | Runs | Success | Failure | No verdict | Not offered | 0 | 1 | "
         "2 | 3 | Changed | Silent corruptions: not seen by the protocol | others | "
         "module_changed, nothing "
         "changed | Clean run (s) | Longest (s) | Bound (s) |\n|---|---|---|---|---|---|---|---|"
         "---|---|---|---|---|---|---|---|---|---|\n";
  KindCounts sum;
  for (size_t k = 0; k < c.kinds.size(); ++k) {
    const KindCounts& n = c.kinds[k];
    const Kind& kind = kinds()[k];
    const uint64_t withVerdictless = n.verdicts[0] - n.notOffered;
    std::cout << "| " << kind.name << " | " << kind.stage << " | " << n.runs << " | "
              << n.verdicts[1] << " | " << n.verdicts[2] << " | " << withVerdictless << " | "
              << n.notOffered << " | " << n.results[0] << " | " << n.results[1] << " | "
              << n.results[2] << " | " << n.results[3] << " | " << n.changed << " | "
              << n.silent - n.unexplained << " | " << n.unexplained << " | " << n.flagWithoutChange
              << " | " << cleanUs[k] / 1000 / 1000.0 << " | " << n.maxElapsedUs / 1000 / 1000.0
              << " (run " << n.longestRun << ") | " << kind.boundSeconds << " |\n";
    sum.runs += n.runs;
    sum.notOffered += n.notOffered;
    for (size_t i = 0; i < 3; ++i) sum.verdicts[i] += n.verdicts[i];
    for (size_t i = 0; i < 4; ++i) sum.results[i] += n.results[i];
    sum.changed += n.changed;
    sum.silent += n.silent;
    sum.unexplained += n.unexplained;
    sum.flagWithoutChange += n.flagWithoutChange;
    sum.broken += n.broken;
  }
  std::cout << "| all | | " << sum.runs << " | " << sum.verdicts[1] << " | " << sum.verdicts[2]
            << " | " << sum.verdicts[0] - sum.notOffered << " | " << sum.notOffered << " | "
            << sum.results[0] << " | " << sum.results[1] << " | " << sum.results[2] << " | "
            << sum.results[3] << " | " << sum.changed << " | " << sum.silent - sum.unexplained
            << " | " << sum.unexplained << " | " << sum.flagWithoutChange << " | | | |\n";
  std::cout << "\n| Kind | Not seen by the protocol | Runs | Runs with bytes to the module "
               "damaged |\n|---|---|---|---|\n";
  for (const auto& [key, n] : c.blindSpots) {
    size_t k = 0;
    while (kinds()[k].name != key.first) ++k;
    std::cout << "| " << key.first << " | " << key.second << " | " << n << " | "
              << c.kinds[k].damagedToModule << " |\n";
  }
  std::cout << "\nrecords that reached a boot loader damaged: " << c.damagedRecords
            << ", taken with their checksum right: " << c.damagedRecordsTaken << "\n";
  std::cout << "\nruns breaking an invariant: " << sum.broken << "\n";
}

TEST(Soak, EveryRunKeepsTheInvariants) {
  const Bench bench;
  const std::span<const Kind> all = kinds();
  // A clean run of each kind: it must update, and it gives the bytes each way the faults are
  // placed among.
  std::vector<Traffic> traffic;
  for (const Kind& kind : all) {
    const Outcome o = run(bench, kind, Plan{}, false);
    const std::vector<std::string> broken = brokenInvariants(kind, o);
    ASSERT_TRUE(broken.empty() && o.result == RunResult::Updated)
        << "a clean run of " << kind.name << " did not update:\n"
        << report(0, kind, Plan{}, o, broken);
    traffic.push_back(Traffic{{o.damaged[0].bytes, o.damaged[1].bytes}});
    cleanUs.push_back(o.elapsedUs);
  }

  signal(SIGALRM, watchdog);
  Counts counts;
  counts.kinds.resize(all.size());
  const auto started = std::chrono::steady_clock::now();
  const uint64_t first = options.only.value_or(0);
  const uint64_t end = options.only ? first + 1 : options.runs;
  for (uint64_t r = first; r < end; ++r) {
    const size_t k = r % all.size();
    std::mt19937_64 random(runSeed(options.seed, r));
    const Plan plan = drawPlan(random, traffic[k]);
    std::snprintf(watchdogText, sizeof watchdogText,
                  "run %llu did not end within %u s of wall time\n  replay: %s\n  faults: %s\n",
                  static_cast<unsigned long long>(r), kWatchdogSeconds, replay(r).c_str(),
                  describe(plan).c_str());
    alarm(kWatchdogSeconds);
    const Outcome o = run(bench, all[k], plan, options.only.has_value());
    alarm(0);
    const std::vector<std::string> broken = brokenInvariants(all[k], o);
    count(counts, r, k, plan, o, broken.size());
    if (options.only || !broken.empty())
      std::cout << report(r, all[k], plan, o, broken) << std::endl;
    for (const ModuleOutcome& m : o.modules) {
      if (options.listSilent && !m.blindSpot.empty())
        std::cout << "run " << r << ", " << m.setup->type << ": " << m.blindSpot
                  << "; replay: " << replay(r) << std::endl;
    }
    EXPECT_TRUE(broken.empty()) << "run " << r << " broke an invariant; replay: " << replay(r);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!options.only) printTables(counts, seconds);
}

}  // namespace
}  // namespace qdqm::soak

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  using qdqm::soak::options;
  int position = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--run" && i + 1 < argc) {
      options.only = std::stoull(argv[++i]);
    } else if (a == "--trace") {
      options.trace = true;
    } else if (a == "--list-silent") {
      options.listSilent = true;
    } else if (!a.empty() && a.find_first_not_of("0123456789") == std::string::npos) {
      (position++ == 0 ? options.runs : options.seed) = std::stoull(a);
    } else {
      std::cerr << "usage: qdqm-soak [RUNS [SEED]] [--list-silent] [--run N [--trace]]\n";
      return 64;
    }
  }
  return RUN_ALL_TESTS();
}

// A whole update of a simulated controller from a data file built from the input, in the raw and
// in the record protocol: a file that is not whole up to its end record never erases anything; a
// refused erase programs nothing; a whole file is programmed exactly as its records say, records
// crossing 64-byte blocks included.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "app/controls.h"
#include "app/update_dialog.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/hex_model.h"
#include "fuzz/support/quiet_host.h"
#include "fuzz/support/temp_dir.h"
#include "procedures/procedures.h"
#include "sim/controller.h"
#include "tests/support/sim_line.h"

namespace qdqm::fuzz {
namespace {

namespace fs = std::filesystem;

// What the records before the end record leave in the flash, from the erased state; empty when
// a record is one the boot loader refuses (it then never reports success).
std::optional<std::map<uint32_t, uint8_t>> programmed(const std::string& text, bool record) {
  std::map<uint32_t, uint8_t> flash;
  uint32_t base = 0;
  size_t at = 0;
  while (at < text.size()) {
    const size_t lf = text.find('\n', at);
    const size_t end = lf == std::string::npos ? text.size() : lf;
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (isEnd(line)) return flash;
    const Record r = *decode(line);
    // Start address records are not sent; other records must not cross a block when packed.
    if (r.type == 0x05) continue;
    const bool fits = !record || r.address % 64 + r.count <= 64;
    if (r.type == 0x00) {
      for (size_t i = 0; i < r.count; ++i) {
        const uint32_t a = base + ((r.address + i) & 0xFFFF);
        const auto old = flash.find(a);
        flash[a] = static_cast<uint8_t>((old == flash.end() ? 0xFF : old->second) & r.data[i]);
      }
    } else if ((r.type == 0x02 || r.type == 0x04) && r.count == 2 && fits) {
      const uint32_t value = uint32_t{r.data[0]} << 8 | r.data[1];
      base = r.type == 0x02 ? value << 4 : value << 16;
    } else if (!(r.type == 0x03 && r.count == 4 && fits)) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace
}  // namespace qdqm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdqm;
  using namespace qdqm::fuzz;
  FuzzInput in(data, size);
  const bool record = in.flag();
  const bool lowSpeed = in.flag();
  const bool crlf = in.flag();
  // Now and then the boot loader refuses the erase, with a code or with a byte that is none.
  sim::Faults faults;
  if (in.below(8) == 7) faults.eraseCode = "\x01\0CPAX"[in.below(6)];
  std::string body = in.rest();

  sim::Profile p;
  p.type = record ? "QM41B" : "QD21S";
  p.protocol = record ? sim::Protocol::Record : sim::Protocol::Raw;
  p.topSpeed = '3';
  p.software = {0x01, 0x05};
  p.versionAfterReset = {0x02, 0x01};
  const std::string typeDir = record ? "QM41B_" : "QD21S_1";
  const std::string eol = crlf ? "\r\n" : "\n";
  const fs::path root = processTempDir() / "program";
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(root / typeDir, ec);
  std::ofstream(root / typeDir / "upd2.01", std::ios::binary)
      << p.type << eol << ";" << eol << ";" << eol << body;

  VirtualClock clock;
  QuietHost host;
  host.declinePrefix = "Do you wish to update another";
  sim::Controller device(p, faults);
  testing::SimPortOpener opener(clock);
  opener.attach(1, device);
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  FUZZ_EXPECT(dlg.selectPort(1) == 1);
  dlg.programDir = root.string();
  dlg.control(ids::LowSpeed).checked = lowSpeed;
  dlg.onConnectClicked();
  FUZZ_EXPECT(host.boxes == 0 && dlg.control(ids::Update).enabled);
  FUZZ_EXPECT(dlg.selectedFile == "upd2.01");
  dlg.onUpdateClicked();

  const std::string text = normalised(body);
  if (!wholeUpToEnd(text)) {
    // Refused before the erase (codes 41, 44): the module keeps its program.
    FUZZ_EXPECT(device.erases() == 0 && device.recordsTaken() == 0);
    FUZZ_EXPECT(dlg.verdict == Verdict::None && !dlg.port.moduleChanged);
    FUZZ_EXPECT(host.lastText.ends_with("Error Code: 41") ||
                host.lastText.ends_with("Error Code: 44"));
    return 0;
  }
  FUZZ_EXPECT(device.erases() == 1 && dlg.port.moduleChanged);
  if (faults.eraseCode != '.') {
    FUZZ_EXPECT(device.recordsTaken() == 0 && dlg.verdict == Verdict::None);
    FUZZ_EXPECT(host.lastText == "Could not erase flash !\nError Code: 50");
    return 0;
  }
  const auto expected = programmed(text, record);
  if (!expected) {
    FUZZ_EXPECT(dlg.verdict == Verdict::Failure);
    return 0;
  }
  FUZZ_EXPECT(dlg.verdict == Verdict::Success);
  FUZZ_EXPECT(device.flash() == *expected);
  return 0;
}

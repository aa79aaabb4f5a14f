// The file-name version tests: arbitrary names and module texts must give 0 or 1 and respect the
// "U" (forced) rule; names and texts built from chosen digits must compare as the versions do.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "common/helpers.h"
#include "fuzz/support/fuzz_input.h"
#include "fuzz/support/quiet_host.h"
#include "fuzz/support/script_line.h"
#include "fuzz/support/scripted_port.h"
#include "link/serial_port.h"

namespace qdqm::fuzz {
namespace {

bool isBit(int v) {
  return v == 0 || v == 1;
}

char digit(FuzzInput& in) {
  return static_cast<char>('0' + in.below(10));
}

// Arbitrary texts: no crash, results 0/1, and a forced file is never current.
void arbitrary(FuzzInput& in) {
  const std::string text = in.text(80);
  const std::string name = in.text(80);
  const bool uFlag = in.flag();

  const std::string_view proper = nameProper(name);
  FUZZ_EXPECT(name.ends_with(proper));
  FUZZ_EXPECT(proper.find_first_of("\\/") == std::string_view::npos);
  const bool forced = !proper.empty() && (proper[0] == 'U' || proper[0] == 'u');
  FUZZ_EXPECT(isUFileName(name) == (forced ? 1 : 0));

  const int block = blockVersionTest(text, name);
  const int withU = textVersionTest(text, name, true);
  const int withoutU = textVersionTest(text, name, uFlag);
  const int notOlder = notOlderVersionTest(text, name);
  const int twin = twinVersionTest(text, name);
  FUZZ_EXPECT(isBit(block) && isBit(withU) && isBit(withoutU) && isBit(notOlder) && isBit(twin));
  // The U flag only ever refuses.
  FUZZ_EXPECT(!withU || textVersionTest(text, name, false));
  if (forced) FUZZ_EXPECT(!block && !withU && !notOlder && !twin);
  (void)versionNumber(text);
  (void)versionNumber(name);
}

// Versions written as the module and the file name write them.
void built(FuzzInput& in, SerialPort& port, ScriptLine& line) {
  const char major = digit(in), minor1 = digit(in), minor2 = digit(in);
  const char fileMajor = in.flag() ? major : digit(in);
  const char fileMinor1 = in.flag() ? minor1 : digit(in);
  const char fileMinor2 = in.flag() ? minor2 : digit(in);
  const std::string module = {major, '.', minor1, minor2};
  const std::string file = {fileMajor, '_', fileMinor1, fileMinor2};
  const bool same = module == std::string{fileMajor, '.', fileMinor1, fileMinor2};
  const std::string dir = in.flag() ? "sub\\" : "sub/";

  // "V1.05 ready" against fw$1_05.bin.
  const std::string moduleText = "V" + module + (in.flag() ? " ready" : "");
  FUZZ_EXPECT(textVersionTest(moduleText, dir + "fw$" + file + ".bin", in.flag()) == same);
  FUZZ_EXPECT(textVersionTest(moduleText, dir + "Ufw$" + file + ".bin", true) == 0);
  FUZZ_EXPECT(textVersionTest(moduleText, dir + "Ufw$" + file + ".bin", false) == same);

  // The number of a version text.
  const unsigned number =
      unsigned(major - '0') * 100 + unsigned(minor1 - '0') * 10 + unsigned(minor2 - '0');
  FUZZ_EXPECT(versionNumber("QD09T V" + module) == number);

  // The block's minor version against the file's.
  const bool sameMinor = minor1 == fileMinor1 && minor2 == fileMinor2;
  FUZZ_EXPECT(blockVersionTest("MPG V" + module, dir + "mp3_" + file + ".bin") == sameMinor);

  // The block's version is the same as or newer than the file's.
  const std::string fileDigits = {fileMajor, '0', fileMinor1, fileMinor2};
  const std::string moduleDigits = {major, '0', minor1, minor2};
  FUZZ_EXPECT(notOlderVersionTest("QM23 FPGA " + module, dir + "fpga$" + file + ".bin") ==
              (moduleDigits >= fileDigits));

  // Both halves of a two-part block equal the file's version.
  const char other = in.flag() ? major : digit(in);
  char halves[33];
  std::snprintf(halves, sizeof halves, "QM492 v%c.%c%c     MPG   v%s     ", other, minor1, minor2,
                module.c_str());
  const bool twinSame = same && other == major;
  FUZZ_EXPECT(twinVersionTest(std::string(halves, 32), dir + "d$" + file + ".bin") == twinSame);

  // The FPGA's two version bytes against fpga$1_234.bin; 00 00 is always current.
  uint8_t nibbles[4];
  for (uint8_t& n : nibbles) n = static_cast<uint8_t>(in.below(10));
  const uint8_t e = static_cast<uint8_t>(nibbles[0] << 4 | nibbles[1]);
  const uint8_t f = static_cast<uint8_t>(nibbles[2] << 4 | nibbles[3]);
  const std::string fpgaFile = {char('0' + (e >> 4)), '_', char('0' + (e & 15)),
                                char('0' + (f >> 4)), char('0' + (f & 15))};
  const bool answers = in.flag();
  const std::string reported = in.flag() ? std::string{char(e), char(f)} : std::string(2, '\0');
  line.replies.push_back({answers ? reported : std::string(), in.below(20) * 1000u, 0});
  const bool none = reported == std::string(2, '\0');
  const std::string wanted = in.flag() ? fpgaFile : file;
  // The file's digits are compared as far as they go.
  std::string wantedDigits = wanted, moduleFpga = fpgaFile;
  std::replace(wantedDigits.begin(), wantedDigits.end(), '_', '0');
  std::replace(moduleFpga.begin(), moduleFpga.end(), '_', '0');
  FUZZ_EXPECT(fpgaVersionTest(port, dir + "fpga$" + wanted + ".bin", in.flag()) ==
              (answers && (none || moduleFpga.starts_with(wantedDigits))));
}

}  // namespace
}  // namespace qdqm::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qdqm;
  using namespace qdqm::fuzz;
  FuzzInput in(data, size);
  ScriptedPort s;
  if (in.flag()) {
    built(in, s.port, s.line());
  } else {
    arbitrary(in);
  }
  return 0;
}

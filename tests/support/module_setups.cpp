#include "tests/support/module_setups.h"

#include <algorithm>
#include <iterator>

#include "tests/support/test_bytes.h"
#include "tests/support/update_fixture.h"

namespace qdqm::testing {

namespace {

using K = sim::CoprocessorKind;
using D = sim::DecoderKind;
using P = sim::Protocol;
constexpr ModuleSetup kModules[] = {
    {Module::QD21S, "QD21S", "QD21S_1", P::Raw, K::None, D::None, ";", ";", "", 0, false},
    {Module::QM41B, "QM41B", "QM41B_", P::Record, K::None, D::None, ";", ";", "", 0, false},
    {Module::QD29E, "QD29E", "QD29E_", P::Raw, K::None, D::None, "fpga\\FPGA$2_01.bin", ";",
     "fpga/FPGA$2_01.bin", 700, false},
    {Module::QM23, "QM23_", "QM23__", P::Raw, K::Fpga, D::None, ";", "fpga23$2_01.bin",
     "fpga23$2_01.bin", 700, false},
    {Module::QM292, "QM292", "QM292_", P::Raw, K::Crc32Decoder, D::None, ";",
     "mpeg\\QM292_2_01.bin", "mpeg/QM292_2_01.bin", 1300, false},
    {Module::QM492, "QM492", "QM492_", P::Record, K::Crc16Decoder, D::None, ";", "mpg$2_01.bin",
     "mpg$2_01.bin", 1300, false},
    {Module::QD20A, "QD20A", "QD20A_1", P::Raw, K::None, D::Swid, ";", "mpeg\\mpg$2_01.bin",
     "mpeg/mpg$2_01.bin", 1000, false},
    {Module::QD22A, "QD22A", "QD22A_", P::Raw, K::None, D::Vers, ";", "mpeg\\V2_01.bin",
     "mpeg/V2_01.bin", 1023, false},
    {Module::QD09T, "QD09T", "QD09T_1", P::Raw, K::None, D::BootLoader, "1", "mpeg\\QD09.v201",
     "mpeg/QD09.v201", 10000, false},
    {Module::Slot21, "QM21_", "QM21__", P::Raw, K::None, D::None, ";", ";", "", 0, true},
    {Module::Slot292, "QM292", "QM292_", P::Raw, K::Crc32Decoder, D::None, ";",
     "mpeg\\QM292_2_01.bin", "mpeg/QM292_2_01.bin", 1300, true},
};

// The decoders' version texts before and after a good image, by kind.
struct DecoderVersions {
  D kind;
  const char* before;
  const char* after;
};
constexpr DecoderVersions kDecoderVersions[] = {
    {D::Swid, "1.05", "2.01"}, {D::Vers, "V1.05", "V2.01"}, {D::BootLoader, "v100", "v201"}};

const DecoderVersions& decoderVersions(D kind) {
  return *std::find_if(std::begin(kDecoderVersions), std::end(kDecoderVersions),
                       [&](const DecoderVersions& d) { return d.kind == kind; });
}

// The coprocessor still reports the version it had.
bool coprocessorOld(const sim::Controller& m, const ModuleSetup& s) {
  if (s.decoder != D::None) return m.decoder().version() == decoderVersions(s.decoder).before;
  if (s.coprocessor == K::None) return m.fpgaVersion() == m.profile().fpga;
  return m.coprocessorVersion() == "1.05";
}

}  // namespace

std::span<const ModuleSetup> moduleSetups() {
  return kModules;
}

const ModuleSetup& setupOf(Module m) {
  return *std::find_if(std::begin(kModules), std::end(kModules),
                       [&](const ModuleSetup& s) { return s.module == m; });
}

sim::Profile profileOf(const ModuleSetup& s) {
  sim::Profile p = testing::profile(s.type, s.protocol);
  p.coprocessor = s.coprocessor;
  p.coprocessorVersion = "1.05";
  p.coprocessorVersionAfter = "2.01";
  p.fpga = {0x01, 0x05};  // an FPGA version the QD FPGA stage does not find current
  p.decoder = s.decoder;
  if (s.decoder != D::None) {
    p.decoderVersion = decoderVersions(s.decoder).before;
    p.decoderVersionAfter = decoderVersions(s.decoder).after;
  }
  return p;
}

ModuleFiles moduleFiles(const ModuleSetup& s) {
  ModuleFiles f;
  f.image = sim::syntheticImage(0, 512, 512);
  f.dataFile = sim::makeDataFile({s.type, s.fpgaLine, s.mpegLine}, f.image);
  if (*s.coprocessorFile)
    f.coprocessor = imageBytes(s.coprocessorSize, static_cast<unsigned>(s.coprocessorSize));
  return f;
}

bool coprocessorUntouched(const sim::Controller& m) {
  return m.fpgaErases() == 0 && m.dataBlocks() == 0 && m.fpgaImage().empty() &&
         m.decoderImage().empty() && m.decoder().transfers().empty();
}

bool coprocessorNew(const sim::Controller& m, const ModuleSetup& s, const std::string& image) {
  if (s.decoder != D::None) {
    // The boot-loader decoder is not restarted after its last block: its version text changes
    // only when the module next starts.
    const bool restarted = s.decoder != D::BootLoader;
    return text(m.decoderImage()) == image &&
           (!restarted || m.decoder().version() == decoderVersions(s.decoder).after);
  }
  if (s.coprocessor == K::None)  // the QD FPGA behind the controller's FPGA record
    return text(m.fpgaImage()) == image && m.fpgaVersion() == m.profile().fpgaAfterUpdate;
  const std::vector<uint8_t>& flash = s.coprocessor == K::Fpga ? m.fpgaImage() : m.decoderImage();
  return text(flash) == image && m.coprocessorVersion() == "2.01";
}

bool holds(Left left, const sim::Controller& m, const ModuleSetup& s, const sim::Image& image,
           const std::string& coprocessor) {
  const bool untouched = coprocessorUntouched(m);
  const bool programmed = m.flash() == image;
  switch (left) {
    case Left::Nothing:
      return m.erases() == 0 && m.recordsTaken() == 0 && m.flash().empty() && untouched;
    case Left::OldFlash:
      // Erased cells read FF; a refused erase leaves the old program.
      return m.erases() > 0 && m.flash().empty() && m.flashByte(0) != 0xFF && untouched;
    case Left::Erased:
      return m.erases() > 0 && m.flash().empty() && m.flashByte(0) == 0xFF && untouched;
    case Left::PartFlash:
      return !m.flash().empty() && !programmed && !m.programmingEnded() && untouched;
    case Left::UnsealedFlash:
      return programmed && !m.programmingEnded() && untouched;
    case Left::NewFlash:
      return programmed && m.programmingEnded() && untouched;
    case Left::PartCoprocessor:
      return programmed && m.programmingEnded() && !untouched && coprocessorOld(m, s);
    case Left::Everything:
      return programmed && m.programmingEnded() && coprocessorNew(m, s, coprocessor);
  }
  return false;
}

}  // namespace qdqm::testing

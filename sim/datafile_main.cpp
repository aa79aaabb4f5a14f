// qdqm-datafile: writes a synthetic controller data file (three header lines, Intel-HEX records,
// CR LF) for the demo, the tests and the benchmark; optionally the same image as plain Intel-HEX
// with LF and 16-byte records, the form in which qdqm-sim --flash-out writes the flash. With
// --image it writes a binary FPGA or decoder image instead, as qdqm-sim --fpga-out and
// --decoder-out write the coprocessor flashes.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "sim/intel_hex.h"

namespace {

constexpr int kUsage = 64;

constexpr std::string_view kHelp =
    "usage: qdqm-datafile --out FILE --module TYPE [options]\n"
    "       qdqm-datafile --image FILE --size BYTES [--seed N]\n"
    "  --out FILE          the controller data file to write (CR LF line ends)\n"
    "  --module TYPE       header line 1: the module type (e.g. QD21S)\n"
    "  --fpga LINE         header line 2 (default \";\")\n"
    "  --mpeg LINE         header line 3 (default \";\")\n"
    "  --size BYTES        image size (default 4096)\n"
    "  --start ADDR        first address (default 0; 0x... for hex)\n"
    "  --seed N            pseudo-random seed of the image bytes (default 1)\n"
    "  --record-bytes B    data bytes per record, 1-255 (default 16)\n"
    "  --image-out FILE    also write the image as Intel-HEX with LF and 16-byte records, as\n"
    "                      qdqm-sim --flash-out writes the programmed flash\n"
    "  --image FILE        write only a binary coprocessor image of --size pseudo-random bytes\n"
    "                      (the same for the same --seed, never all one value; a decoder\n"
    "                      image's first 20 bytes serve as its header)\n";

bool number(const char* text, uint32_t& out) {
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0' || *text == '-' || v > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

// `size` bytes from the seed's pseudo-random sequence; never all one value, so a block that did
// not arrive, or arrived twice, shows.
std::string imageBytes(uint32_t size, uint32_t seed) {
  const std::vector<uint8_t> random = qdqm::sim::syntheticBytes(size, seed);
  std::string bytes(random.begin(), random.end());
  if (bytes.size() > 1 && bytes.find_first_not_of(bytes[0]) == std::string::npos) {
    bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
  }
  return bytes;
}

bool writeFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, imageOut, image;
  qdqm::sim::DataFileHeader header;
  uint32_t size = 4096, start = 0, seed = 1, recordBytes = 16;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help") {
      std::fwrite(kHelp.data(), 1, kHelp.size(), stdout);
      return 0;
    }
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = v != nullptr;
    if (ok) {
      ++i;
      if (a == "--out") {
        out = v;
      } else if (a == "--image-out") {
        imageOut = v;
      } else if (a == "--image") {
        image = v;
      } else if (a == "--module") {
        header.type = v;
      } else if (a == "--fpga") {
        header.fpga = v;
      } else if (a == "--mpeg") {
        header.mpeg = v;
      } else if (a == "--size") {
        ok = number(v, size) && size > 0;
      } else if (a == "--start") {
        ok = number(v, start);
      } else if (a == "--seed") {
        ok = number(v, seed);
      } else if (a == "--record-bytes") {
        ok = number(v, recordBytes) && recordBytes >= 1 && recordBytes <= 255;
      } else {
        ok = false;
      }
    }
    if (!ok) {
      std::fprintf(stderr, "qdqm-datafile: bad argument %s\n", std::string(a).c_str());
      std::fwrite(kHelp.data(), 1, kHelp.size(), stderr);
      return kUsage;
    }
  }
  if (!image.empty()) {
    // The binary image alone: no data file is written alongside.
    if (!out.empty() || !imageOut.empty()) {
      std::fwrite(kHelp.data(), 1, kHelp.size(), stderr);
      return kUsage;
    }
    if (!writeFile(image, imageBytes(size, seed))) {
      std::perror(("qdqm-datafile: " + image).c_str());
      return 1;
    }
    return 0;
  }
  if (out.empty() || header.type.empty()) {
    std::fwrite(kHelp.data(), 1, kHelp.size(), stderr);
    return kUsage;
  }
  if (uint64_t{start} + size > 0x1'0000'0000ull) {
    std::fprintf(stderr, "qdqm-datafile: the image runs past 4 GiB\n");
    return kUsage;
  }
  const qdqm::sim::Image hex = qdqm::sim::syntheticImage(start, size, seed);
  if (!writeFile(out, qdqm::sim::makeDataFile(header, hex, recordBytes))) {
    std::perror(("qdqm-datafile: " + out).c_str());
    return 1;
  }
  if (!imageOut.empty() && !writeFile(imageOut, qdqm::sim::toIntelHex(hex))) {
    std::perror(("qdqm-datafile: " + imageOut).c_str());
    return 1;
  }
  return 0;
}

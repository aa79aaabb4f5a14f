#include <charconv>
#include <string>

#include "sim/faults.h"

namespace qdqm::sim {

namespace {

bool number(std::string_view text, unsigned& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc{} && end == text.data() + text.size();
}

}  // namespace

std::string_view faultHelp() {
  return "  silent            never answers\n"
         "  late=MS           every reply starts MS milliseconds late\n"
         "  mute=N            the first N replies are never sent\n"
         "  refuse=N:CODE     the Nth data record is answered with CODE (C, P, A, ...)\n"
         "  erase=CODE        erasing answers CODE instead of .\n"
         "  drop=N            the Nth reply byte is lost\n"
         "  garble=N          the Nth reply byte arrives damaged\n"
         "  extra=N           N bytes follow every reply\n"
         "  speed-stay        acknowledges a speed change but keeps its rate\n"
         "  speed-type=TYPE   reports TYPE after a speed change\n"
         "  vanish=N          falls silent after N records\n"
         "  coproc-silent     the coprocessor answers nothing (version blocks, FPGA version,\n"
         "                    erase, data blocks, CRC check)\n"
         "  block-refuse=N    the Nth image data block of a transfer is answered EE\n"
         "  crc-wrong         the CRC check always answers E (VERS decoder: CRC Error)\n"
         "  dead-after-restart\n"
         "                    answers nothing at all after its next restart\n"
         "  mode-refuse=N     the first N update-mode requests are answered EE\n"
         "  program-gone      a flash was cut off: only the boot loader runs (no version, no\n"
         "                    answer to the wake-up) until a flash completes\n"
         "  decoder-silent    the decoder behind the MPEG update mode takes and answers nothing\n"
         "  bootmode-silent   the boot-loader decoder never starts its boot loader\n"
         "  ramload-refuse=N  the first N RAM loads are answered Prog load error\n"
         "  flashwrite-refuse every decoder flash write is answered FLM:: Write error\n"
         "  no-programming    the VERS decoder sends Data Ok, then nothing more\n"
         "  new-code-not-running\n"
         "                    swid: keeps its old version; VERS: Programmed, then nothing more\n";
}

int parseFault(std::string_view text, Faults& faults) {
  const size_t eq = text.find('=');
  const std::string_view key = text.substr(0, eq);
  const std::string_view value = eq == std::string_view::npos ? "" : text.substr(eq + 1);
  unsigned n = 0;
  if (key == "silent" && value.empty()) return faults.silent = true, 1;
  if (key == "speed-stay" && value.empty()) return faults.speed = SpeedFault::AckButStay, 1;
  if (key == "coproc-silent" && value.empty()) return faults.coprocessorSilent = true, 1;
  if (key == "crc-wrong" && value.empty()) return faults.wrongCrc = true, 1;
  if (key == "dead-after-restart" && value.empty()) return faults.deadAfterRestart = true, 1;
  if (key == "program-gone" && value.empty()) return faults.programGone = true, 1;
  if (key == "decoder-silent" && value.empty()) return faults.decoderSilent = true, 1;
  if (key == "bootmode-silent" && value.empty()) return faults.bootModeSilent = true, 1;
  if (key == "flashwrite-refuse" && value.empty()) return faults.refuseFlashWrite = true, 1;
  if (key == "no-programming" && value.empty()) return faults.noProgramming = true, 1;
  if (key == "new-code-not-running" && value.empty()) return faults.newCodeNotRunning = true, 1;
  if (key == "speed-type" && !value.empty()) {
    faults.speed = SpeedFault::OtherTypeAtNewRate;
    faults.otherType = value;
    return 1;
  }
  if (key == "erase" && value.size() == 1) return faults.eraseCode = value[0], 1;
  if (key == "refuse") {
    const size_t colon = value.find(':');
    if (colon == std::string_view::npos || colon + 2 != value.size()) return 0;
    if (!number(value.substr(0, colon), n) || n == 0) return 0;
    faults.refuseRecord = n;
    faults.refuseCode = value.back();
    return 1;
  }
  if (!number(value, n)) return 0;
  if (key == "late") return faults.lateMs = n, 1;
  if (key == "mute" && n > 0) return faults.muteReplies = n, 1;
  if (key == "drop") return faults.dropReplyByte = n, 1;
  if (key == "garble") return faults.garbleReplyByte = n, 1;
  if (key == "extra") return faults.extraBytes = n, 1;
  if (key == "vanish") return faults.vanishAfterRecords = n, 1;
  if (key == "block-refuse" && n > 0) return faults.refuseBlock = n, 1;
  if (key == "mode-refuse" && n > 0) return faults.refuseUpdateMode = n, 1;
  if (key == "ramload-refuse" && n > 0) return faults.refuseRamLoad = n, 1;
  return 0;
}

}  // namespace qdqm::sim

// What can go wrong with a simulated module: the controller's own faults, those of its reply line,
// and those of the coprocessors and decoders behind it; as set from the command line.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace qdqm::sim {

enum class SpeedFault { None, AckButStay, OtherTypeAtNewRate };

struct Faults {
  bool silent = false;
  uint32_t lateMs = 0;        // every reply starts this much later
  unsigned muteReplies = 0;   // the first N replies are never sent (a module still starting)
  unsigned refuseRecord = 0;  // the Nth data record (1-based) is refused with refuseCode
  char refuseCode = 'C';
  char eraseCode = '.';
  unsigned dropReplyByte = 0;    // the Nth reply byte (1-based, counted over the run) is lost
  unsigned garbleReplyByte = 0;  // the Nth reply byte arrives damaged
  unsigned extraBytes = 0;       // bytes appended to every reply
  SpeedFault speed = SpeedFault::None;
  std::string otherType = "QD99A";
  unsigned vanishAfterRecords = 0;  // silent for good after that many records
  // The coprocessor answers nothing (update mode and FPGA mode record are still acknowledged).
  bool coprocessorSilent = false;
  unsigned refuseBlock = 0;  // the Nth image data frame of a transfer is answered EE
  // The CRC check always fails: frame mode answers E, the VERS decoder "CRC Error".
  bool wrongCrc = false;
  bool deadAfterRestart = false;  // answers nothing at all after the next restart
  // A flash was cut off before it ended: the program is gone and only the boot loader runs (no
  // answer on the service channel, none to the wake-up) until a flash completes.
  bool programGone = false;
  unsigned refuseUpdateMode = 0;  // the first N update-mode requests are answered EE

  // The decoder the line is routed to after the MPEG update-mode record.
  bool decoderSilent = false;      // takes and answers nothing (the record is still acknowledged)
  bool bootModeSilent = false;     // boot-loader decoder: the boot request never starts the loader
  unsigned refuseRamLoad = 0;      // boot-loader decoder: the first N RAM loads fail
  bool refuseFlashWrite = false;   // boot-loader decoder: every flash write fails
  bool noProgramming = false;      // VERS: "Data Ok", then nothing more
  bool newCodeNotRunning = false;  // swid: keeps the old version; VERS: "Programmed", then nothing
};

// Parses one fault as written on the command line ("late=200", "refuse=3:P", ...); 1 on success.
int parseFault(std::string_view text, Faults& faults);
// The fault words with a one-line explanation each, for --help.
std::string_view faultHelp();

}  // namespace qdqm::sim

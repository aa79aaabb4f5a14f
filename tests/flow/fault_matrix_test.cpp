// The fault matrix: every stage of Connect and Update against a simulated module that goes wrong
// in one way, one table row per scenario. Each run must show the stage's own messages byte for
// byte, end with the right outcome within the time its time-outs allow (virtual clock), leave the
// line at 19200 baud without parity, close every file it opened, and leave the module as the
// fault leaves it. docs/fault-matrix.md lists the same table; a test below keeps the two equal
// (QDQM_WRITE_FAULT_MATRIX=1 rewrites the document from the table; QDQM_MATRIX_DUMP=1 prints
// what each run showed, for writing a new row).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/controls.h"
#include "app/run_result.h"
#include "app/update_dialog.h"
#include "procedures/procedures.h"
#include "sim/base_unit.h"
#include "sim/controller.h"
#include "sim/faults.h"
#include "sim/intel_hex.h"
#include "tests/support/module_setups.h"
#include "tests/support/scripted_host.h"
#include "tests/support/sim_line.h"
#include "tests/support/test_bytes.h"
#include "tests/support/update_fixture.h"

namespace qdqm {
namespace {

using testing::SimLine;
using Trouble = SimLine::Trouble;

// ---- The modules the scenarios run against (tests/support/module_setups.h) -------------------

using testing::kLeftNames;
using testing::Left;
using testing::Module;
using testing::ModuleSetup;

// ---- The table --------------------------------------------------------------------------------

enum class Stage {
  Identification,
  SpeedSwitch,
  FlashRaw,
  FlashRecord,
  QdFpga,
  Qm23Fpga,
  Crc32Frames,
  Crc16Frames,
  Swid,
  Vers,
  BootLoader,
  SlotSearch,
  SlotUpdate,
};

constexpr std::pair<Stage, const char*> kStageNames[] = {
    {Stage::Identification, "identification"},
    {Stage::SpeedSwitch, "speed switch"},
    {Stage::FlashRaw, "controller flash, raw"},
    {Stage::FlashRecord, "controller flash, record"},
    {Stage::QdFpga, "QD FPGA"},
    {Stage::Qm23Fpga, "QM23 FPGA"},
    {Stage::Crc32Frames, "CRC-32 frames"},
    {Stage::Crc16Frames, "CRC-16 frames"},
    {Stage::Swid, "swid"},
    {Stage::Vers, "VERS"},
    {Stage::BootLoader, "decoder boot loader"},
    {Stage::SlotSearch, "slot search"},
    {Stage::SlotUpdate, "slot update"},
};

// What goes wrong on the PC's side of the wire: the line's own trouble, started when the status
// line first shows `armAt` ("" at once) and the tool has written `afterBytes` more bytes; or an
// adapter that lacks a rate or parity.
struct LineFault {
  Trouble trouble = Trouble::None;
  const char* armAt = "";
  size_t afterBytes = 0;
  uint32_t value = 0;  // Late: ms; Garble: which byte
  uint32_t missingRate = 0;
  bool noParity = false;
};

// How the run ends.
enum class Outcome {
  NotConnected,  // Connect offers no update: no run, no verdict
  Aborted,       // the run ends without a verdict
  Failed,        // failure verdict
  Updated,       // success verdict
};

// What happens to the module's type directory: as written, emptied before Connect, or the data
// file chosen removed between Connect and Update.
enum class Files { AsWritten, EmptyTypeDirectory, RemovedBeforeUpdate };

struct Scenario {
  const char* name;
  Stage stage;
  Module module;
  const char* simFault;  // as on qdqm-sim's command line (words separated by blanks), "" none
  LineFault line;
  // The version chosen: upd2.01, or the bad files beside it (writeBadFiles).
  const char* entry;
  std::vector<const char*> messages;  // every box, in order
  Outcome outcome;
  unsigned maxSeconds;  // virtual time from Connect to the end of the run
  Left left;
  RunResult result = RunResult::NotStarted;  // what the terminal reports (exit status, JSON)
  Files files = Files::AsWritten;
};

// Boxes that end many runs.
constexpr const char* kSuccess = testing::kSuccessText;
constexpr const char* kFailure = testing::kFailureText;
constexpr const char* kAllFailed =
    "Could not update all the modules !\nCorrect function of modules, where the backcolor \nof "
    "the updatestate is red, is no longer guaranteed !\nTry again to update, or contact your "
    "local dealer !";
constexpr const char* kNoConnect = "Could not connect to module !\nError Code: 20";
constexpr const char* kHiSpeed =
    "Could not set baudrate of module to HiSpeed!\nError Please reconnect updateplug (reset "
    "module), then press 'OK'!";
constexpr const char* kNotRunning = "QM-Module is not running after Update !!!";
constexpr const char* kAnotherQD21S = "Do you wish to update another QD21S ?";
constexpr const char* kAnotherQM41B = "Do you wish to update another QM41B ?";
constexpr const char* kAnotherQMxx = "Do you wish to update another QMxx ... ?";
constexpr const char* kRemoveCa = "Remove CA module if present !";

// One row per scenario: name, stage, module, simulator fault, line fault, version chosen, every
// box in order, outcome, virtual-time bound (s), what the module is left with.
// clang-format off
const Scenario kScenarios[] = {
    // Identification.
    {"Identification_Silent", Stage::Identification, Module::QD21S,
     "silent", {}, "upd2.01",
     {kNoConnect},
     Outcome::NotConnected, 8, Left::Nothing, RunResult::NotStarted},
    {"Identification_LateBeyondTimeOut", Stage::Identification, Module::QD21S,
     "late=2000", {}, "upd2.01",
     {kNoConnect},
     Outcome::NotConnected, 20, Left::Nothing, RunResult::NotStarted},
    {"Identification_TypeGarbled", Stage::Identification, Module::QD21S,
     "garble=1", {}, "upd2.01",
     {kHiSpeed, kSuccess, kAnotherQD21S},
     Outcome::Updated, 5, Left::NewFlash, RunResult::Updated},
    {"Identification_ExtraBytes", Stage::Identification, Module::QD21S,
     "extra=4", {}, "upd2.01",
     {"No update available !\nError Code: 30"},
     Outcome::NotConnected, 2, Left::Nothing, RunResult::NotStarted},
    {"Identification_FirstReplyLost", Stage::Identification, Module::QD21S,
     "mute=1", {}, "upd2.01",
     {kSuccess, kAnotherQD21S},
     Outcome::Updated, 8, Left::NewFlash, RunResult::Updated},
    // Connect opens a port whose line went away anew; the adapter is still gone.
    {"Identification_LineGone", Stage::Identification, Module::QD21S,
     "", {Trouble::Lost}, "upd2.01",
     {"Could not open serial port COM 1\nError Code: 11"},
     Outcome::NotConnected, 3, Left::Nothing, RunResult::NotStarted},
    {"Identification_RecordSilent", Stage::Identification, Module::QM41B,
     "silent", {}, "upd2.01",
     {kNoConnect},
     Outcome::NotConnected, 8, Left::Nothing, RunResult::NotStarted},
    // Speed switch.
    {"SpeedSwitch_AckButStay", Stage::SpeedSwitch, Module::QD21S,
     "speed-stay", {}, "upd2.01",
     {kSuccess, kAnotherQD21S},
     Outcome::Updated, 9, Left::NewFlash, RunResult::Updated},
    {"SpeedSwitch_OtherTypeAtNewRate", Stage::SpeedSwitch, Module::QD21S,
     "speed-type=QD99A", {}, "upd2.01",
     {kSuccess, kAnotherQD21S},
     Outcome::Updated, 4, Left::NewFlash, RunResult::Updated},
    {"SpeedSwitch_AckGarbled", Stage::SpeedSwitch, Module::QD21S,
     "", {Trouble::Garble, "", 56, 0}, "upd2.01",
     {kSuccess, kAnotherQD21S},
     Outcome::Updated, 4, Left::NewFlash, RunResult::Updated},
    {"SpeedSwitch_AdapterWithout115200", Stage::SpeedSwitch, Module::QD21S,
     "", {.missingRate = 115200}, "upd2.01",
     {"Could not set baud rate to 115200 !!!", kHiSpeed, kNoConnect},
     Outcome::NotConnected, 15, Left::Nothing, RunResult::NotStarted},
    {"SpeedSwitch_LineGone", Stage::SpeedSwitch, Module::QD21S,
     "", {Trouble::Lost, "", 28}, "upd2.01",
     {kHiSpeed, kNoConnect, "Could not open serial port COM 1\nError Code: 11"},
     Outcome::NotConnected, 6, Left::Nothing, RunResult::NotStarted},
    {"SpeedSwitch_RecordLineGone", Stage::SpeedSwitch, Module::QM41B,
     "", {Trouble::Lost, "", 60}, "upd2.01",
     {kHiSpeed, kNoConnect, "Could not open serial port COM 1\nError Code: 11"},
     Outcome::NotConnected, 6, Left::Nothing, RunResult::NotStarted},
    // Controller flash, raw protocol.
    {"FlashRaw_RefusedC", Stage::FlashRaw, Module::QD21S,
     "refuse=3:C", {}, "upd2.01",
     {"Programming checksum error !\nError Code: 201", kFailure, kAnotherQD21S},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_RefusedP", Stage::FlashRaw, Module::QD21S,
     "refuse=3:P", {}, "upd2.01",
     {"Could not programm byte to flash !\nError Code: 202", kFailure, kAnotherQD21S},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_RefusedA", Stage::FlashRaw, Module::QD21S,
     "refuse=3:A", {}, "upd2.01",
     {"Programming address error !\n Error Code: 203", kFailure, kAnotherQD21S},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_RefusedOther", Stage::FlashRaw, Module::QD21S,
     "refuse=3:X", {}, "upd2.01",
     {"Unknown return code !\n Error Code: 204", kFailure, kAnotherQD21S},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_EraseRefusedC", Stage::FlashRaw, Module::QD21S,
     "erase=C", {}, "upd2.01",
     {"Erasing checksum error !\nError Code: 101", "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRaw_EraseRefusedP", Stage::FlashRaw, Module::QD21S,
     "erase=P", {}, "upd2.01",
     {"Could not erase block in flash !\n Error Code: 102",
      "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRaw_EraseRefusedA", Stage::FlashRaw, Module::QD21S,
     "erase=A", {}, "upd2.01",
     {"Erasing address error !\nError Code: 103", "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRaw_EraseRefusedOther", Stage::FlashRaw, Module::QD21S,
     "erase=X", {}, "upd2.01",
     {"Unknown return code !\nError Code: 104", "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRaw_SilentMidway", Stage::FlashRaw, Module::QD21S,
     "vanish=10", {}, "upd2.01",
     {"Time out while controller flash programming !\nError Code: 61", kFailure, kAnotherQD21S},
     Outcome::Failed, 11, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_AckLate", Stage::FlashRaw, Module::QD21S,
     "", {Trouble::Late, "wait for programming flash...", 100, 10000}, "upd2.01",
     {"Time out while controller flash programming !\nError Code: 61", kFailure, kAnotherQD21S},
     Outcome::Failed, 11, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_AckGarbled", Stage::FlashRaw, Module::QD21S,
     "", {Trouble::Garble, "wait for programming flash...", 100, 0}, "upd2.01",
     {"Unknown return code !\n Error Code: 204", kFailure, kAnotherQD21S},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_LineGone", Stage::FlashRaw, Module::QD21S,
     "", {Trouble::Lost, "wait for programming flash...", 100}, "upd2.01",
     {"Time out while controller flash programming !\nError Code: 61", kFailure, kAnotherQD21S},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRaw_LineGoneAtTheEnd", Stage::FlashRaw, Module::QD21S,
     "", {Trouble::Lost, "wait for programming flash...", 1408}, "upd2.01",
     {"Could not send EOF to controller !\nError Code: 60", kFailure, kAnotherQD21S},
     Outcome::Failed, 3, Left::UnsealedFlash, RunResult::Failed},
    {"FlashRaw_OtherModulesFile", Stage::FlashRaw, Module::QD21S,
     "", {}, "upd2.02",
     {"Data file not for this module type !\nError Code: 42"},
     Outcome::Aborted, 3, Left::Nothing, RunResult::NotStarted},
    {"FlashRaw_FileWithoutEnd", Stage::FlashRaw, Module::QD21S,
     "", {}, "upd2.03",
     {"Unexpected end of data file upd2.03 !\nError Code: 41"},
     Outcome::Aborted, 3, Left::Nothing, RunResult::NotStarted},
    {"FlashRaw_CorruptRecord", Stage::FlashRaw, Module::QD21S,
     "", {}, "upd2.04",
     {"Data file upd2.04 is corrupt in line 5 !\nError Code: 44"},
     Outcome::Aborted, 3, Left::Nothing, RunResult::NotStarted},
    {"FlashRaw_RecordsWriteOneAddressTwice", Stage::FlashRaw, Module::QD21S,
     "", {}, "upd2.05",
     {"Data file upd2.05 is corrupt in line 36 !\nError Code: 44"},
     Outcome::Aborted, 3, Left::Nothing, RunResult::NotStarted},
    {"FlashRaw_ExtraByteBehindEveryReply", Stage::FlashRaw, Module::QD21S,
     "extra=1", {}, "upd2.01",
     {kSuccess, kAnotherQD21S},
     Outcome::Updated, 5, Left::NewFlash, RunResult::Updated},
    {"FlashRaw_NoiseBetweenReplies", Stage::FlashRaw, Module::QD21S,
     "", {Trouble::Noise, "wait for programming flash...", 0, 8}, "upd2.01",
     {kSuccess, kAnotherQD21S},
     Outcome::Updated, 3, Left::NewFlash, RunResult::Updated},
    // Controller flash, record protocol.
    {"FlashRecord_RefusedC", Stage::FlashRecord, Module::QM41B,
     "refuse=3:C", {}, "upd2.01",
     {"Programming checksum error !\nError Code: 201", kFailure, kAnotherQM41B},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRecord_RefusedP", Stage::FlashRecord, Module::QM41B,
     "refuse=3:P", {}, "upd2.01",
     {"Could not programm byte to flash !\nError Code: 202", kFailure, kAnotherQM41B},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRecord_RefusedA", Stage::FlashRecord, Module::QM41B,
     "refuse=3:A", {}, "upd2.01",
     {"Programming address error !\n Error Code: 203", kFailure, kAnotherQM41B},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRecord_RefusedOther", Stage::FlashRecord, Module::QM41B,
     "refuse=3:X", {}, "upd2.01",
     {"Unknown return code !\n Error Code: 204", kFailure, kAnotherQM41B},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    {"FlashRecord_EraseRefusedC", Stage::FlashRecord, Module::QM41B,
     "erase=C", {}, "upd2.01",
     {"Erasing checksum error !\nError Code: 101", "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRecord_EraseRefusedP", Stage::FlashRecord, Module::QM41B,
     "erase=P", {}, "upd2.01",
     {"Could not erase block in flash !\n Error Code: 102", "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRecord_EraseRefusedA", Stage::FlashRecord, Module::QM41B,
     "erase=A", {}, "upd2.01",
     {"Erasing address error !\nError Code: 103", "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRecord_EraseRefusedOther", Stage::FlashRecord, Module::QM41B,
     "erase=X", {}, "upd2.01",
     {"Unknown return code !\nError Code: 104", "Could not erase flash !\nError Code: 50"},
     Outcome::Aborted, 3, Left::OldFlash, RunResult::Failed},
    {"FlashRecord_ExtraBytes", Stage::FlashRecord, Module::QM41B,
     "extra=4", {}, "upd2.01",
     {kSuccess, kAnotherQM41B},
     Outcome::Updated, 5, Left::NewFlash, RunResult::Updated},
    {"FlashRecord_ExtraByteBehindEveryReply", Stage::FlashRecord, Module::QM41B,
     "extra=1", {}, "upd2.01",
     {kSuccess, kAnotherQM41B},
     Outcome::Updated, 5, Left::NewFlash, RunResult::Updated},
    {"FlashRecord_NoiseBetweenReplies", Stage::FlashRecord, Module::QM41B,
     "", {Trouble::Noise, "wait for programming flash...", 0, 8}, "upd2.01",
     {kSuccess, kAnotherQM41B},
     Outcome::Updated, 3, Left::NewFlash, RunResult::Updated},
    {"FlashRecord_SilentMidway", Stage::FlashRecord, Module::QM41B,
     "vanish=10", {}, "upd2.01",
     {"Time out while controller flash programming !\nError Code: 61", kFailure, kAnotherQM41B},
     Outcome::Failed, 12, Left::PartFlash, RunResult::Failed},
    {"FlashRecord_ChecksumUnanswered", Stage::FlashRecord, Module::QM41B,
     "", {Trouble::Silent, "wait for programming flash...", 1409}, "upd2.01",
     {"Could not send WriteApplChecksum to controller !\nError Code: 60", kFailure, kAnotherQM41B},
     Outcome::Failed, 8, Left::UnsealedFlash, RunResult::Failed},
    {"FlashRecord_LineGone", Stage::FlashRecord, Module::QM41B,
     "", {Trouble::Lost, "wait for programming flash...", 100}, "upd2.01",
     {"Time out while controller flash programming !\nError Code: 61", kFailure, kAnotherQM41B},
     Outcome::Failed, 3, Left::PartFlash, RunResult::Failed},
    // QD FPGA, reached through the controller's FPGA record.
    {"QdFpga_CoprocessorSilent", Stage::QdFpga, Module::QD29E,
     "coproc-silent", {}, "upd2.01",
     {"FPGA returned error during flash-erase  !!!"},
     Outcome::Aborted, 210, Left::NewFlash, RunResult::Failed},
    {"QdFpga_BlockRefused", Stage::QdFpga, Module::QD29E,
     "block-refuse=3", {}, "upd2.01",
     {"FPGA returned error during updateprocess  !!!"},
     Outcome::Aborted, 10, Left::PartCoprocessor, RunResult::Failed},
    {"QdFpga_WrongCrc", Stage::QdFpga, Module::QD29E,
     "crc-wrong", {}, "upd2.01",
     {"FPGA returned Checksumerror  !!!"},
     Outcome::Aborted, 11, Left::PartCoprocessor, RunResult::Failed},
    {"QdFpga_ModeAckGarbled", Stage::QdFpga, Module::QD29E,
     "", {Trouble::Garble, "set FPGA to update mode...", 0, 0}, "upd2.01",
     {"could not set FPGA to update mode  !!!"},
     Outcome::Aborted, 10, Left::NewFlash, RunResult::Failed},
    {"QdFpga_BlockAckLate", Stage::QdFpga, Module::QD29E,
     "", {Trouble::Late, "programming FPGA flash...", 200, 30000}, "upd2.01",
     {"FPGA returned error during updateprocess  !!!"},
     Outcome::Aborted, 40, Left::PartCoprocessor, RunResult::Failed},
    {"QdFpga_LineGone", Stage::QdFpga, Module::QD29E,
     "", {Trouble::Lost, "programming FPGA flash...", 200}, "upd2.01",
     {"FPGA returned error during updateprocess  !!!"},
     Outcome::Aborted, 10, Left::PartCoprocessor, RunResult::Failed},
    // QM23 FPGA, behind the update mode.
    {"Qm23Fpga_CoprocessorSilent", Stage::Qm23Fpga, Module::QM23,
     "coproc-silent", {}, "upd2.01",
     {kNotRunning},
     Outcome::Aborted, 180, Left::NewFlash, RunResult::Failed},
    {"Qm23Fpga_DeadAfterRestart", Stage::Qm23Fpga, Module::QM23,
     "dead-after-restart", {}, "upd2.01",
     {kNotRunning},
     Outcome::Aborted, 180, Left::NewFlash, RunResult::Failed},
    {"Qm23Fpga_ModeRefusedThrice", Stage::Qm23Fpga, Module::QM23,
     "mode-refuse=3", {}, "upd2.01",
     {"Could not send Startcode for Update !!!"},
     Outcome::Aborted, 30, Left::NewFlash, RunResult::Failed},
    {"Qm23Fpga_EraseAckGarbled", Stage::Qm23Fpga, Module::QM23,
     "", {Trouble::Garble, "erase FPGA flash...", 0, 0}, "upd2.01",
     {"FPGA returned error during flash-erase  !!!"},
     Outcome::Aborted, 30, Left::PartCoprocessor, RunResult::Failed},
    {"Qm23Fpga_BlockRefused", Stage::Qm23Fpga, Module::QM23,
     "block-refuse=3", {}, "upd2.01",
     {"FPGA returned error during updateprocess  !!!"},
     Outcome::Aborted, 30, Left::PartCoprocessor, RunResult::Failed},
    {"Qm23Fpga_WrongCrc", Stage::Qm23Fpga, Module::QM23,
     "crc-wrong", {}, "upd2.01",
     {"FPGA returned Checksumerror  !!!"},
     Outcome::Aborted, 35, Left::PartCoprocessor, RunResult::Failed},
    {"Qm23Fpga_AdapterWithout2400", Stage::Qm23Fpga, Module::QM23,
     "", {.missingRate = 2400}, "upd2.01",
     {"Could not set baud rate to 2400 !!!"},
     Outcome::Aborted, 30, Left::NewFlash, RunResult::Failed},
    // CRC-32 frames (MPEG decoder through the controller).
    {"Crc32Frames_BlockRefused", Stage::Crc32Frames, Module::QM292,
     "block-refuse=3", {}, "upd2.01",
     {"mpeg decoder returned error during updateprocess  !!!"},
     Outcome::Aborted, 35, Left::PartCoprocessor, RunResult::Failed},
    {"Crc32Frames_WrongCrc", Stage::Crc32Frames, Module::QM292,
     "crc-wrong", {}, "upd2.01",
     {"mpeg decoder returned Cheksumerror  !!!"},
     Outcome::Aborted, 35, Left::PartCoprocessor, RunResult::Failed},
    {"Crc32Frames_CoprocessorSilent", Stage::Crc32Frames, Module::QM292,
     "coproc-silent", {}, "upd2.01",
     {kNotRunning},
     Outcome::Aborted, 110, Left::NewFlash, RunResult::Failed},
    {"Crc32Frames_ModeRefused", Stage::Crc32Frames, Module::QM292,
     "mode-refuse=1", {}, "upd2.01",
     {"Could not send Startcode for Update !!!"},
     Outcome::Aborted, 30, Left::NewFlash, RunResult::Failed},
    {"Crc32Frames_BlockAckLate", Stage::Crc32Frames, Module::QM292,
     "", {Trouble::Late, "programming mpeg decoder flash...", 200, 30000}, "upd2.01",
     {"mpeg decoder returned error during updateprocess  !!!"},
     Outcome::Aborted, 60, Left::PartCoprocessor, RunResult::Failed},
    {"Crc32Frames_LineGone", Stage::Crc32Frames, Module::QM292,
     "", {Trouble::Lost, "programming mpeg decoder flash...", 200}, "upd2.01",
     {"mpeg decoder returned error during updateprocess  !!!"},
     Outcome::Aborted, 35, Left::PartCoprocessor, RunResult::Failed},
    // CRC-16 frames.
    {"Crc16Frames_BlockRefused", Stage::Crc16Frames, Module::QM492,
     "block-refuse=3", {}, "upd2.01",
     {"MPEG returned error during updateprocess  !!!"},
     Outcome::Aborted, 20, Left::PartCoprocessor, RunResult::Failed},
    {"Crc16Frames_WrongCrc", Stage::Crc16Frames, Module::QM492,
     "crc-wrong", {}, "upd2.01",
     {"FPGA returned Checksumerror  !!!"},
     Outcome::Aborted, 25, Left::PartCoprocessor, RunResult::Failed},
    {"Crc16Frames_ModeRefused", Stage::Crc16Frames, Module::QM492,
     "mode-refuse=1", {}, "upd2.01",
     {"Could not send Startcode for Update !!!"},
     Outcome::Aborted, 19, Left::NewFlash, RunResult::Failed},
    {"Crc16Frames_CoprocessorSilent", Stage::Crc16Frames, Module::QM492,
     "coproc-silent", {}, "upd2.01",
     {kNotRunning},
     Outcome::Aborted, 170, Left::NewFlash, RunResult::Failed},
    {"Crc16Frames_CheckAckGarbled", Stage::Crc16Frames, Module::QM492,
     "", {Trouble::Garble, "waiting for 'Data Okay' ...", 0, 0}, "upd2.01",
     {"FPGA returned Checksumerror  !!!"},
     Outcome::Aborted, 25, Left::Everything, RunResult::Failed},
    // swid decoder.
    {"Swid_DecoderSilent", Stage::Swid, Module::QD20A,
     "decoder-silent", {}, "upd2.01",
     {"Could not read MPEG-Version in Update-Mode !!!"},
     Outcome::Aborted, 25, Left::NewFlash, RunResult::Failed},
    {"Swid_NewCodeNotRunning", Stage::Swid, Module::QD20A,
     "new-code-not-running", {}, "upd2.01",
     {"mpeg decoder returned 'new code not running'  !!!", kFailure,
      "Do you wish to update another QD20A ?"},
     Outcome::Failed, 25, Left::PartCoprocessor, RunResult::Failed},
    {"Swid_SilentAfterRestart", Stage::Swid, Module::QD20A,
     "", {Trouble::Silent, "waiting for new start of mpeg ..."}, "upd2.01",
     {"Could not read MPEG-Version after Update !!!"},
     Outcome::Aborted, 45, Left::Everything, RunResult::Failed},
    {"Swid_VersionLate", Stage::Swid, Module::QD20A,
     "", {Trouble::Late, "compare mpeg decoder version...", 0, 5000}, "upd2.01",
     {kSuccess, "Do you wish to update another QD20A ?"},
     Outcome::Updated, 35, Left::Everything, RunResult::Updated},
    {"Swid_LineGone", Stage::Swid, Module::QD20A,
     "", {Trouble::Lost, "programming mpeg decoder flash...", 300}, "upd2.01",
     {"Could not read MPEG-Version after Update !!!"},
     Outcome::Aborted, 25, Left::PartCoprocessor, RunResult::Failed},
    // VERS decoder.
    {"Vers_WrongCrc", Stage::Vers, Module::QD22A,
     "crc-wrong", {}, "upd2.01",
     {"mpeg decoder returned Cheksumerror  !!!"},
     Outcome::Aborted, 16, Left::PartCoprocessor, RunResult::Failed},
    {"Vers_NoProgramming", Stage::Vers, Module::QD22A,
     "no-programming", {}, "upd2.01",
     {"mpeg decoder returned 'new code not valide'  !!!", kFailure,
      "Do you wish to update another QD22A ?"},
     Outcome::Failed, 25, Left::PartCoprocessor, RunResult::Failed},
    {"Vers_NewCodeNotRunning", Stage::Vers, Module::QD22A,
     "new-code-not-running", {}, "upd2.01",
     {"mpeg decoder returned 'new code not running'  !!!", kFailure,
      "Do you wish to update another QD22A ?"},
     Outcome::Failed, 19, Left::PartCoprocessor, RunResult::Failed},
    {"Vers_DataOkLate", Stage::Vers, Module::QD22A,
     "", {Trouble::Late, "waiting for 'Data Okay' ...", 0, 30000}, "upd2.01",
     {"mpeg decoder returned Cheksumerror  !!!"},
     Outcome::Aborted, 16, Left::Everything, RunResult::Failed},
    {"Vers_DecoderSilent", Stage::Vers, Module::QD22A,
     "decoder-silent", {}, "upd2.01",
     {"Could not set MPEGModule in UpDate Mode !!!"},
     Outcome::Aborted, 25, Left::NewFlash, RunResult::Failed},
    {"Vers_StartCodeUnanswered", Stage::Vers, Module::QD22A,
     "", {Trouble::Silent, "set mpeg decoder update mode...", 15}, "upd2.01",
     {"Could not send Startcode for Update !!!"},
     Outcome::Aborted, 13, Left::NewFlash, RunResult::Failed},
    {"Vers_AdapterWithoutParity", Stage::Vers, Module::QD22A,
     "", {.noParity = true}, "upd2.01",
     {"Could not set Parity to Even !!!"},
     Outcome::Aborted, 12, Left::NewFlash, RunResult::Failed},
    {"Vers_SilentBeforeModule", Stage::Vers, Module::QD22A,
     "", {Trouble::Silent, "waiting for running mpeg ..."}, "upd2.01",
     {"new application not started  !!!", kFailure, "Do you wish to update another QD22A ?"},
     Outcome::Failed, 19, Left::Everything, RunResult::Failed},
    // Decoder boot loader.
    {"BootLoader_BootModeSilent", Stage::BootLoader, Module::QD09T,
     "bootmode-silent", {}, "upd2.01",
     {kRemoveCa, "Could not set mpeg decoder to boot mode !!!"},
     Outcome::Aborted, 35, Left::NewFlash, RunResult::Failed},
    {"BootLoader_BootReplyGarbled", Stage::BootLoader, Module::QD09T,
     "", {Trouble::Garble, "try to set decoder to boot mode ...", 0, 4}, "upd2.01",
     {kRemoveCa, "Aknowledge error while setting mpeg decoder to boot mode !!!"},
     Outcome::Aborted, 19, Left::NewFlash, RunResult::Failed},
    {"BootLoader_RamLoadRefused", Stage::BootLoader, Module::QD09T,
     "ramload-refuse=3", {}, "upd2.01",
     {kRemoveCa, "Could send data block to mpeg decoder !!!\nPlease contact service personal."},
     Outcome::Aborted, 25, Left::PartCoprocessor, RunResult::Failed},
    {"BootLoader_FlashWriteRefused", Stage::BootLoader, Module::QD09T,
     "flashwrite-refuse", {}, "upd2.01",
     {kRemoveCa,
      "Could not write data block to mpeg decoder !!!\nPlease contact service personal."},
     Outcome::Aborted, 20, Left::PartCoprocessor, RunResult::Failed},
    {"BootLoader_RamLoadLate", Stage::BootLoader, Module::QD09T,
     "", {Trouble::Late, "programming mpeg decoder flash...", 4000, 5000}, "upd2.01",
     {kRemoveCa, "Could not write data block to mpeg decoder !!!\nPlease contact service personal."},
     Outcome::Aborted, 30, Left::PartCoprocessor, RunResult::Failed},
    {"BootLoader_LineGone", Stage::BootLoader, Module::QD09T,
     "", {Trouble::Lost, "programming mpeg decoder flash...", 5000}, "upd2.01",
     {kRemoveCa, "Could send data block to mpeg decoder !!!\nPlease contact service personal."},
     Outcome::Aborted, 20, Left::PartCoprocessor, RunResult::Failed},
    // Slot search.
    {"SlotSearch_BaseUnitSilent", Stage::SlotSearch, Module::Slot21,
     "", {Trouble::Silent}, "upd2.01",
     {"Could not connect to QM65 !\nError Code: 20"},
     Outcome::NotConnected, 10, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_BaseUnitLate", Stage::SlotSearch, Module::Slot21,
     "", {Trouble::Late, "", 0, 10000}, "upd2.01",
     {"Could not connect to QM65 !\nError Code: 20"},
     Outcome::NotConnected, 10, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_OccupancyUnanswered", Stage::SlotSearch, Module::Slot21,
     "", {Trouble::Silent, "", 4}, "upd2.01",
     {"No QMxx-Modules in QM65A installed ! \nError Code: 25"},
     Outcome::NotConnected, 10, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_DeselectUnanswered", Stage::SlotSearch, Module::Slot21,
     "", {Trouble::Silent, "", 7}, "upd2.01",
     {"Error while deselct QMxx-Modules ! \nError Code: 26"},
     Outcome::NotConnected, 10, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_WrongSlotNumber", Stage::SlotSearch, Module::Slot21,
     "wrong-slot-byte", {}, "upd2.01",
     {},
     Outcome::NotConnected, 350, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_ModuleSilent", Stage::SlotSearch, Module::Slot21,
     "silent", {}, "upd2.01",
     {},
     Outcome::NotConnected, 470, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_ModuleLate", Stage::SlotSearch, Module::Slot21,
     "late=5000", {}, "upd2.01",
     {},
     Outcome::NotConnected, 470, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_ModuleExtraBytes", Stage::SlotSearch, Module::Slot21,
     "extra=3", {}, "upd2.01",
     {kSuccess, kAnotherQMxx},
     Outcome::Updated, 350, Left::NewFlash, RunResult::Updated},
    {"SlotSearch_LineGone", Stage::SlotSearch, Module::Slot21,
     "", {Trouble::Lost, "search in QM65B slot 1"}, "upd2.01",
     {"Could not open serial port COM 1\nError Code: 11"},
     Outcome::NotConnected, 3, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_LineGoneAtThirdSlotFrame", Stage::SlotSearch, Module::Slot21,
     "", {Trouble::Lost, "search in QM65B slot 1", 24}, "upd2.01",
     {"Could not open serial port COM 1\nError Code: 11"},
     Outcome::NotConnected, 10, Left::Nothing, RunResult::NotStarted},
    {"SlotSearch_EmptyTypeDirectory", Stage::SlotSearch, Module::Slot21,
     "", {}, "upd2.01",
     {},
     Outcome::NotConnected, 350, Left::Nothing, RunResult::NotStarted, Files::EmptyTypeDirectory},
    // Slot update.
    {"SlotUpdate_RefusedP", Stage::SlotUpdate, Module::Slot21,
     "refuse=3:P", {}, "upd2.01",
     {"Could not programm byte to flash !\nError Code: 202", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 350, Left::PartFlash, RunResult::Failed},
    {"SlotUpdate_RefusedC", Stage::SlotUpdate, Module::Slot21,
     "refuse=3:C", {}, "upd2.01",
     {"Programming checksum error !\nError Code: 201", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 450, Left::PartFlash, RunResult::Failed},
    {"SlotUpdate_RefusedA", Stage::SlotUpdate, Module::Slot21,
     "refuse=3:A", {}, "upd2.01",
     {"Programming address error !\n Error Code: 203", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 450, Left::PartFlash, RunResult::Failed},
    {"SlotUpdate_RefusedOther", Stage::SlotUpdate, Module::Slot21,
     "refuse=3:X", {}, "upd2.01",
     {"Unknown return code !\n Error Code: 204", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 450, Left::PartFlash, RunResult::Failed},
    {"SlotUpdate_EraseRefusedC", Stage::SlotUpdate, Module::Slot21,
     "erase=C", {}, "upd2.01",
     {"Erasing checksum error !\nError Code: 101", "Could not erase flash !\nError Code: 50",
      kAllFailed, kAnotherQMxx},
     Outcome::Failed, 350, Left::OldFlash, RunResult::Failed},
    {"SlotUpdate_RecordsWriteOneAddressTwice", Stage::SlotUpdate, Module::Slot21,
     "", {}, "upd2.05",
     {"Data file upd2.05 is corrupt in line 36 !\nError Code: 44", kSuccess, kAnotherQMxx},
     Outcome::Updated, 350, Left::Nothing, RunResult::PartlyUpdated},
    {"SlotUpdate_FileRemovedBeforeUpdate", Stage::SlotUpdate, Module::Slot21,
     "", {}, "upd2.01",
     {"Could not open data file upd2.01 !\nError Code: 40", kSuccess, kAnotherQMxx},
     Outcome::Updated, 350, Left::Nothing, RunResult::PartlyUpdated, Files::RemovedBeforeUpdate},
    {"SlotUpdate_SilentMidway", Stage::SlotUpdate, Module::Slot21,
     "vanish=10", {}, "upd2.01",
     {"Time out while controller flash programming !\nError Code: 61", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 380, Left::PartFlash, RunResult::Failed},
    {"SlotUpdate_WrongSlotAtWakeUp", Stage::SlotUpdate, Module::Slot21,
     "wrong-slot-byte=2", {}, "upd2.01",
     {"Switch to bootloader failed ... !\nError Code: 26", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 340, Left::Nothing, RunResult::Failed},
    {"SlotUpdate_WrongSlotAtSelect", Stage::SlotUpdate, Module::Slot21,
     "wrong-slot-byte=4", {}, "upd2.01",
     {"Connect to bootloader failed ... !\nError Code: 27", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 350, Left::Nothing, RunResult::Failed},
    {"SlotUpdate_LineGone", Stage::SlotUpdate, Module::Slot21,
     "", {Trouble::Lost, "set QM-Module to boot ..."}, "upd2.01",
     {"Switch to bootloader failed ... !\nError Code: 26", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 340, Left::Nothing, RunResult::Failed},
    {"SlotUpdate_Crc32BlockRefused", Stage::SlotUpdate, Module::Slot292,
     "block-refuse=3", {}, "upd2.01",
     {"mpeg decoder returned error during updateprocess  !!!", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 380, Left::PartCoprocessor, RunResult::Failed},
    {"SlotUpdate_Crc32WrongCrc", Stage::SlotUpdate, Module::Slot292,
     "crc-wrong", {}, "upd2.01",
     {"mpeg decoder returned Checksumerror  !!!", kAllFailed, kAnotherQMxx},
     Outcome::Failed, 380, Left::PartCoprocessor, RunResult::Failed},
    {"SlotUpdate_DeadAfterRestart", Stage::SlotUpdate, Module::Slot292,
     "dead-after-restart", {}, "upd2.01",
     {kNotRunning, kAllFailed, kAnotherQMxx},
     Outcome::Failed, 480, Left::NewFlash, RunResult::Failed},
};
// clang-format on

// ---- Running one scenario ---------------------------------------------------------------------

#ifdef _WIN32
// Every file the C runtime opens holds a handle of the process.
size_t openFiles() {
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return n;
}
#else
size_t openFiles() {
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it)
    ++n;
  return n;
}
#endif

constexpr std::pair<Outcome, const char*> kOutcomeNames[] = {
    {Outcome::NotConnected, "no update offered"},
    {Outcome::Aborted, "no verdict"},
    {Outcome::Failed, "failure verdict"},
    {Outcome::Updated, "success verdict"},
};

template <typename E, size_t N>
const char* nameOf(const std::pair<E, const char*> (&names)[N], E value) {
  for (const auto& [e, name] : names) {
    if (e == value) return name;
  }
  return "?";
}

// A data file that names another module, one without its end record, and one with a damaged
// record, beside the good upd2.01.
void writeBadFiles(testing::UpdateFlow& f, const ModuleSetup& s, const std::string& good) {
  const std::string dir = std::string(s.typeDir) + "/";
  std::string other = good;
  other.replace(0, 5, "QX99X");
  f.write(dir + "upd2.02", other);
  const size_t end = good.rfind(":00000001FF");
  f.write(dir + "upd2.03", good.substr(0, end));
  std::string corrupt = good;
  const size_t record = corrupt.find("\n:10", corrupt.find("\n:10") + 1);
  corrupt[record + 12] = corrupt[record + 12] == '0' ? '1' : '0';
  f.write(dir + "upd2.04", corrupt);
  // A record of its own before the end gives the first data byte another value, as a version
  // word patched in behind the image does.
  std::string twice = good;
  const size_t first = twice.find("\n:10") + 1;
  const uint8_t byte = static_cast<uint8_t>(std::stoul(twice.substr(first + 9, 2), nullptr, 16));
  const uint16_t address =
      static_cast<uint16_t>(std::stoul(twice.substr(first + 3, 4), nullptr, 16));
  char patch[32];
  const unsigned changed = byte ^ 0xFFu;
  std::snprintf(patch, sizeof patch, ":01%04X00%02X%02X\r\n", unsigned{address}, changed,
                (0x100u - ((1u + (address >> 8) + (address & 0xFFu) + changed) & 0xFFu)) & 0xFFu);
  twice.insert(twice.rfind(":00000001FF"), patch);
  f.write(dir + "upd2.05", twice);
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// The window model against the module (or the base unit with the module in slot 1) on COM1.
struct Bench {
  VirtualClock clock;
  testing::ScriptedHost host;
  std::unique_ptr<sim::Controller> single;
  std::unique_ptr<sim::BaseUnit> unit;
  testing::SimPortOpener opener{clock};
  UpdateDialog dlg{opener, clock, host, windowProcedures()};

  sim::Controller& module() { return unit ? *unit->module(1) : *single; }
  SimLine& line() { return *opener.line(1); }
};

std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out += "\\n";
    else if (c == '|')
      out += "\\|";
    else
      out += c;
  }
  return out;
}

// A failing scenario is named by its row.
void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

class FaultMatrix : public testing::UpdateFlow, public ::testing::WithParamInterface<Scenario> {};

TEST_P(FaultMatrix, Run) {
  const Scenario& sc = GetParam();
  const ModuleSetup& ms = testing::setupOf(sc.module);
  const testing::ModuleFiles files = testing::moduleFiles(ms);
  const sim::Image& image = files.image;
  const std::string& coprocessor = files.coprocessor;
  write(std::string(ms.typeDir) + "/upd2.01", files.dataFile);
  writeBadFiles(*this, ms, files.dataFile);
  if (*ms.coprocessorFile) write(std::string(ms.typeDir) + "/" + ms.coprocessorFile, coprocessor);
  if (sc.files == Files::EmptyTypeDirectory) {
    std::filesystem::remove_all(dir / ms.typeDir);
    std::filesystem::create_directories(dir / ms.typeDir);
  }
  sim::Faults faults;
  unsigned wrongSlotFrom = 0;
  for (const std::string& w : words(sc.simFault)) {
    if (w == "wrong-slot-byte") {
      wrongSlotFrom = 1;
    } else if (w.starts_with("wrong-slot-byte=")) {
      wrongSlotFrom = static_cast<unsigned>(std::stoul(w.substr(16)));
    } else {
      ASSERT_EQ(sim::parseFault(w, faults), 1) << w;
    }
  }

  const size_t filesBefore = openFiles();
  Bench b;
  if (ms.inSlot) {
    b.unit = std::make_unique<sim::BaseUnit>(sim::BaseUnitSetup{9, {0x02, 0x22}});
    b.unit->plug(1, testing::profileOf(ms), faults, std::nullopt, wrongSlotFrom);
    b.opener.attach(1, *b.unit);
  } else {
    b.single = std::make_unique<sim::Controller>(testing::profileOf(ms), faults);
    b.opener.attach(1, *b.single);
  }
  ASSERT_EQ(b.dlg.selectPort(1), 1);
  b.dlg.programDir = dir.string();
  if (ms.inSlot) {
    b.dlg.control(ids::BaseUnit).checked = true;
    b.dlg.onSlotPanelToggleClicked();
  }
  SimLine& line = b.line();
  if (sc.line.missingRate) line.withoutRate(sc.line.missingRate);
  if (sc.line.noParity) line.withoutParity();
  bool armed = false;
  const auto arm = [&] {
    armed = true;
    line.trouble(sc.line.trouble, sc.line.afterBytes, sc.line.value);
  };
  if (sc.line.trouble != Trouble::None && !*sc.line.armAt) arm();
  b.host.onControlsChanged = [&] {
    if (!armed && sc.line.trouble != Trouble::None && b.dlg.statusText == sc.line.armAt) arm();
  };

  const uint64_t startUs = b.clock.nowUs();
  b.dlg.onConnectClicked();
  if (sc.files == Files::RemovedBeforeUpdate) std::filesystem::remove(dir / ms.typeDir / sc.entry);
  bool ran = false;
  // A technician presses Update when it is offered, for a slot only with the row ticked.
  const bool offered = !ms.inSlot || b.dlg.control(kSlotRows[0].check).checked;
  if (b.dlg.control(ids::Update).enabled && offered) {
    const int listId = ms.inSlot ? kSlotRows[0].versionList : ids::VersionList;
    Control& list = b.dlg.control(listId);
    const auto entry = std::find(list.items.begin(), list.items.end(), sc.entry);
    ASSERT_NE(entry, list.items.end()) << sc.entry;
    list.selection = static_cast<int>(entry - list.items.begin());
    if (ms.inSlot)
      b.dlg.onSlotVersionSelected(0);
    else
      b.dlg.onVersionSelected();
    b.dlg.onUpdateClicked();
    ran = true;
  }
  const uint64_t elapsedUs = b.clock.nowUs() - startUs;

  Outcome outcome = Outcome::NotConnected;
  if (ran) {
    outcome = b.dlg.verdict == Verdict::Success   ? Outcome::Updated
              : b.dlg.verdict == Verdict::Failure ? Outcome::Failed
                                                  : Outcome::Aborted;
  }
  if (std::getenv("QDQM_MATRIX_DUMP")) {
    std::ostringstream os;
    os << sc.name << ": " << nameOf(kOutcomeNames, outcome) << ", " << elapsedUs / 1000 << " ms,";
    for (const auto& [l, n] : kLeftNames)
      if (testing::holds(l, b.module(), ms, image, coprocessor)) os << " [" << n << "]";
    os << " result " << runResultName(runResult(b.dlg))
       << (b.dlg.port.moduleChanged ? ", module changed" : "");
    for (const std::string& t : b.host.texts()) os << "\nMSG \"" << escaped(t) << "\"";
    std::cout << os.str() << std::endl;
  }

  // The stage's own messages, byte for byte, and nothing else.
  EXPECT_THAT(b.host.texts(), ::testing::ElementsAreArray(sc.messages));
  EXPECT_EQ(nameOf(kOutcomeNames, outcome), nameOf(kOutcomeNames, sc.outcome));
  if (ms.inSlot && ran) {
    // In these rows a slot left out of a successful run had its data file refused.
    const int state = sc.result == RunResult::PartlyUpdated ? SlotDataFileError
                      : sc.outcome == Outcome::Updated      ? SlotUpdated
                                                            : SlotFailed;
    EXPECT_EQ(b.dlg.slots[0].state, state);
  }
  // What a script reads of the run, and module_changed whenever the module keeps anything of it.
  EXPECT_EQ(runResultName(runResult(b.dlg)), runResultName(sc.result));
  if (!testing::holds(Left::Nothing, b.module(), ms, image, coprocessor)) {
    EXPECT_TRUE(b.dlg.port.moduleChanged);
  }
  // A line that went away during Connect leaves nothing offered that Update could not reach.
  if (line.lost() && !ran) {
    EXPECT_FALSE(b.dlg.control(ids::Update).enabled);
    for (const SlotRowIds& row : kSlotRows) {
      if (!ms.inSlot) break;
      EXPECT_FALSE(b.dlg.control(row.check).enabled || b.dlg.control(row.check).checked);
      EXPECT_FALSE(b.dlg.control(row.versionList).enabled);
    }
  }
  // Within what the time-outs allow: no hang, no spinning through lost cycles.
  EXPECT_LT(elapsedUs, uint64_t{sc.maxSeconds} * 1'000'000);
  // The line back at 19200 baud without parity, as set and as asked for (nothing can be set on a
  // line that went away).
  if (!line.lost()) {
    const LineSettings idle{19200, Parity::None};
    EXPECT_EQ(line.settings(), idle);
    EXPECT_EQ(line.requested(), idle);
  }
  EXPECT_EQ(openFiles(), filesBefore);
  if (ran) {
    // The clean-up ran: the window is idle again, ready for the next Connect.
    EXPECT_FALSE(b.dlg.control(ids::Update).enabled);
    EXPECT_TRUE(b.dlg.control(ids::Connect).enabled);
    EXPECT_TRUE(b.dlg.control(ids::Exit).enabled);
    EXPECT_TRUE(b.dlg.control(ids::VersionList).items.empty());
    EXPECT_FALSE(b.dlg.control(ids::StatusLine).visible);
    EXPECT_EQ(b.dlg.workingDir, b.dlg.programDir);
  }
  EXPECT_TRUE(testing::holds(sc.left, b.module(), ms, image, coprocessor))
      << "expected the module left with: " << nameOf(kLeftNames, sc.left);
}

std::string scenarioName(const ::testing::TestParamInfo<Scenario>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultMatrix, ::testing::ValuesIn(kScenarios), scenarioName);

// ---- The table as a document ------------------------------------------------------------------

std::string faultText(const Scenario& s) {
  std::vector<std::string> parts;
  if (*s.simFault) parts.push_back("`" + std::string(s.simFault) + "`");
  const LineFault& l = s.line;
  std::string trouble;
  switch (l.trouble) {
    case Trouble::None:
      break;
    case Trouble::Silent:
      trouble = "line silent";
      break;
    case Trouble::Late:
      trouble = "replies " + std::to_string(l.value) + " ms late";
      break;
    case Trouble::Garble:
      trouble = "reply byte " + std::to_string(l.value) + " garbled";
      break;
    case Trouble::Lost:
      trouble = "line gone";
      break;
    case Trouble::Noise:
      trouble = std::to_string(l.value) + " bytes of noise";
      break;
  }
  if (!trouble.empty()) {
    if (*l.armAt) trouble += " from \"" + std::string(l.armAt) + "\"";
    if (l.afterBytes) trouble += " after " + std::to_string(l.afterBytes) + " bytes";
    parts.push_back(trouble);
  }
  if (l.missingRate) parts.push_back("adapter without " + std::to_string(l.missingRate) + " baud");
  if (l.noParity) parts.push_back("adapter without parity");
  const std::string entry = s.entry;
  if (entry == "upd2.02") parts.push_back("data file for another module");
  if (entry == "upd2.03") parts.push_back("data file without end record");
  if (entry == "upd2.04") parts.push_back("data file with a damaged record");
  if (entry == "upd2.05") parts.push_back("data file whose records write one address twice");
  if (s.files == Files::EmptyTypeDirectory) parts.push_back("type directory without files");
  if (s.files == Files::RemovedBeforeUpdate)
    parts.push_back("data file removed between Connect and Update");
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
  return out;
}

std::string matrixDocument() {
  std::ostringstream os;
  os << "# Fault matrix\n"
        "\n"
        "Every stage of Connect and Update against a simulated module that goes wrong in one way\n"
        "(`tests/flow/fault_matrix_test.cpp`, on the virtual clock). Each scenario checks every "
        "box\n"
        "byte for byte (listed in order, `\\n` for a line break), the outcome, a bound on the "
        "virtual\n"
        "time (the time-outs and waits of the run with a margin: a run that spins through the "
        "cycles\n"
        "of a line that went away exceeds it), the line back at 19200 baud without parity, no "
        "file\n"
        "left open, the window idle after a run, and what the module keeps. It also checks what a\n"
        "script reads of the run: the result and exit status of `qdqm-update update`, and\n"
        "`module_changed` true whenever the module keeps anything of it; and that a line gone\n"
        "leaves no slot row offered.\n"
        "\n"
        "Simulator faults are written as on `qdqm-sim`'s command line (`docs/simulator.md`). Line\n"
        "faults (`tests/support/sim_line.h`) start when the status line first shows the quoted "
        "text\n"
        "(at once without one), with the Nth byte the tool writes from then on when a count is "
        "given:\n"
        "the device's bytes from then on are lost, late or one of them damaged, or the line goes "
        "away\n"
        "(that write fails); noise is a burst of bytes (stray acknowledges among them) waiting on "
        "the\n"
        "line at that moment. The test checks that this table matches its own.\n"
        "\n"
        "| Scenario | Stage | Module | Fault | Boxes | Outcome | Result (exit status) | Bound | "
        "Module left with |\n"
        "|---|---|---|---|---|---|---|---|---|\n";
  for (const Scenario& s : kScenarios) {
    std::string boxes;
    for (const char* m : s.messages) boxes += (boxes.empty() ? "\"" : " / \"") + escaped(m) + "\"";
    if (boxes.empty()) boxes = "none";
    const ModuleSetup& m = testing::setupOf(s.module);
    os << "| " << s.name << " | " << nameOf(kStageNames, s.stage) << " | " << m.type
       << (m.inSlot ? " in slot 1 of a QM65B" : "") << " | " << faultText(s) << " | " << boxes
       << " | " << nameOf(kOutcomeNames, s.outcome) << " | " << runResultName(s.result) << " ("
       << exitStatusOf(s.result) << ") | " << s.maxSeconds << " s | " << nameOf(kLeftNames, s.left)
       << " |\n";
  }
  return os.str();
}

TEST(FaultMatrixTable, CoversEveryStageAndMatchesTheDocument) {
  for (const auto& [stage, name] : kStageNames) {
    const auto rows = std::count_if(std::begin(kScenarios), std::end(kScenarios),
                                    [&](const Scenario& s) { return s.stage == stage; });
    EXPECT_GE(rows, 3) << name;
  }
  EXPECT_GE(std::size(kScenarios), 40u);
  const std::filesystem::path doc = std::filesystem::path(QDQM_SOURCE_DIR) / "docs/fault-matrix.md";
  const std::string expected = matrixDocument();
  if (std::getenv("QDQM_WRITE_FAULT_MATRIX")) std::ofstream(doc, std::ios::binary) << expected;
  std::ifstream in(doc, std::ios::binary);
  const std::string actual((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(actual, expected) << "docs/fault-matrix.md differs from the table; "
                                 "QDQM_WRITE_FAULT_MATRIX=1 rewrites it";
}

}  // namespace
}  // namespace qdqm

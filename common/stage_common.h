// What the coprocessor stages share once the update driver has chosen one: the waits for the
// controller's restart, the module-alive poll at 2400 baud, the block loop with its
// progress rule, and the texts every stage shows.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/update_dialog.h"
#include "common/image_file.h"
#include "common/progress.h"
#include "link/version_query.h"

namespace qdqm {

inline constexpr const char* kResetStatus = "waiting for controller reset...";
inline constexpr const char* kCompareFpgaStatus = "compare FPGA version...";
inline constexpr const char* kOpenFileStatus = "open update file...";
inline constexpr const char* kFpgaModeStatus = "set FPGA to update mode...";
inline constexpr const char* kFpgaProgramStatus = "programming FPGA flash...";
inline constexpr const char* kDataOkayStatus = "waiting for 'Data Okay' ...";
inline constexpr const char* kStartcodeText = "Could not send Startcode for Update !!!";
inline constexpr const char* kBaud19200Text = "Could not set baud rate to 19200 !!!";
inline constexpr const char* kBaud9600Text = "Could not set baud rate to 9600 !!!";
inline constexpr const char* kFpgaEraseText = "FPGA returned error during flash-erase  !!!";
inline constexpr const char* kFpgaBlockText = "FPGA returned error during updateprocess  !!!";
inline constexpr const char* kFpgaChecksumText = "FPGA returned Checksumerror  !!!";
inline constexpr const char* kMpegOpenText = "Could not open data file (MPEG) !!!";
inline constexpr const char* kMpegProgramStatus = "programming mpeg decoder flash...";
inline constexpr const char* kShortFileText = "Unexpected end of data file !!!";

// Bytes at the front of a CRC-32 decoder file that are sent as the image header (directly or
// through a slot).
constexpr size_t kImageHeaderBytes = 20;

// The rate of an image transfer through the controller (the FPGA and frame stages).
constexpr uint32_t kTransferRate = 19200;

// The stage's line of the controller data file without its last character (the line end).
std::string fileNameOf(const std::string& line);
// Opens the stage's file `name` from the working directory; the service record notes it.
bool openStageFile(UpdateDialog& dlg, ImageFile& file, const std::string& name);

// Shows `text` in the error box and ends the stage: Abort goes straight to the clean-up, Failed
// lets the run reach its verdict.
Outcome stageAbort(UpdateDialog& dlg, const char* text);
Outcome stageFailed(UpdateDialog& dlg, const char* text);

// The long wait for a restarting controller (only when resetPending): 100 steps of 220 ms.
Outcome longResetWait(UpdateDialog& dlg);
// The wait that always runs: `Reset` first when nothing restarted the controller in this run
// and it speaks the record protocol, then 100 steps of 120 ms.
Outcome alwaysResetWait(UpdateDialog& dlg);
// The start of every wait for the controller: "waiting for controller reset...", the bar at 0,
// the window repainted.
void startResetWait(UpdateDialog& dlg);
// Reads a coprocessor's version: its text for the window ("Ver.: ?.??" when none came, see
// isNoVersion), the raw reply into `block`. Directly or through a base unit's slot.
using VersionReader = std::function<std::string(VersionBlock& block)>;
// Compares a version block, read as text, with the coprocessor file's name; 1 when up to date.
using VersionTest = int (*)(std::string_view versionBlock, std::string_view fileName);
// Up to three reads of the version, each after startResetWait; the controller may still be
// starting, so a silent try is followed by 100 steps of 200 ms (Esc offers the MPEG question)
// before the next. Done, the bar back at 0, when one was answered (`version` and `block` hold it);
// Failed after "QM-Module is not running after Update !!!" when the module stayed silent; Abort
// when the user took the offer to abort.
Outcome pollVersion(UpdateDialog& dlg, const VersionReader& read, VersionBlock& block,
                    std::string& version);
// At 2400 baud, the direct version poll of the coprocessor; the block of the one answered. A
// module that stays silent ends the stage (Abort) as a user abort does.
Outcome moduleAlivePoll(UpdateDialog& dlg, uint8_t typeCode, VersionBlock& block);
// The direct version query of the coprocessor of a type code (the line at 2400 baud).
VersionReader directVersionReader(UpdateDialog& dlg, uint8_t typeCode);
// Whether the coprocessor whose version came in `block` is up to date for `fileName`. A block that
// says so is asked for once more and must come again the same: one damaged reply must not skip an
// update (a new image for a current coprocessor costs only time).
bool confirmedCurrent(const VersionReader& read, const VersionBlock& block, VersionTest test,
                      std::string_view fileName);

// Position before piece k of B whole pieces; never divides by zero, never passes 100.
int progressOf(unsigned k, unsigned B);

enum class ImageCrc { Crc32, Crc16, None };
// Sends one block of data frames: directly (sendDataBlock) or through a base unit's slot, or one
// piece of a stream the decoder takes without answering. 1 when it was taken; an empty block is
// not sent and succeeds.
using BlockSender = std::function<int(const uint8_t* bytes, size_t n)>;
// The controller's data frames carry 64 bytes; the swid decoder's stream goes in 128-byte pieces.
constexpr size_t kDataBlockBytes = 64;
constexpr size_t kMaxPieceBytes = 128;
// Sends the rest of the file in pieces of `pieceBytes` (at most kMaxPieceBytes; a final empty read
// sends nothing), continuing `crc` over them and pausing `pauseMs` after each; false (after
// `blockError`) when one is refused. A sender that never refuses may go with a null blockError.
bool sendFileBlocks(UpdateDialog& dlg, ImageFile& file, ImageCrc kind, uint32_t& crc,
                    uint32_t pauseMs, const char* blockError, const BlockSender& send,
                    size_t pieceBytes = kDataBlockBytes);
// The direct sender: sendDataBlock with the stages' time-out of 2000 ms.
BlockSender directBlocks(SerialPort& port);

// The end of a successful transfer: the bar back to 0, `status` shown for 500 ms, input discarded.
inline constexpr const char* kDoneStatus = "update was successfull ...";
Outcome transferDone(UpdateDialog& dlg, const char* status = kDoneStatus);

}  // namespace qdqm

// A module's controller: the query and mode commands, the speed switch, the boot-loader wake-up
// and the boot loader that takes Intel-HEX records into the flash after an erase; the service
// channel at 2400 baud and frame mode, through which it passes images on to its coprocessors; and
// the MPEG update mode, after which it hands the line to the module's decoder for good.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/coprocessor.h"
#include "sim/decoder.h"
#include "sim/device.h"
#include "sim/faults.h"

namespace qdqm::sim {

enum class Protocol { Raw, Record };

// The service channel a module hears at 2400 baud, 8N1, besides the rate it otherwise listens
// at; its frames begin 14 or 15.
constexpr Line kServiceLine{2400, Parity::None};
constexpr bool isServiceLead(uint8_t byte) {
  return byte == 0x14 || byte == 0x15;
}

struct Profile {
  std::string type = "QM65A";  // 5 characters, or 4 ("PS17") for a module that sends only those
  Protocol protocol = Protocol::Raw;
  std::array<uint8_t, 2> software{0x03, 0x19};
  std::array<uint8_t, 2> bootLoader{0x02, 0x00};
  uint8_t hardware = 1;
  char topSpeed = '2';       // '0' none, '1' 38400, '2' 57600, '3' 115200
  bool needsWakeUp = false;  // listens at 2400 baud until the two wake-up frames came
  std::array<uint8_t, 2> fpga{0x00, 0x00};
  std::array<uint8_t, 2> versionAfterReset{0x03, 0x20};
  uint32_t resetSilenceMs = 1500;                       // silence after a restart
  CoprocessorKind coprocessor = CoprocessorKind::None;  // behind the update mode (15 E0 xx)
  std::string coprocessorVersion = "1.00";              // 4 characters
  std::string coprocessorVersionAfter = "2.00";         // after a good image
  std::array<uint8_t, 2> fpgaAfterUpdate{0x01, 0x00};   // `fpga` after a good image
  // The decoder the MPEG update mode (:0100000302fa) routes the line to; None: only acknowledged.
  DecoderKind decoder = DecoderKind::None;
  std::string decoderVersion;           // the text it reports; empty: the kind's default
  std::string decoderVersionAfter;      // after an update; empty: the kind's default
  std::string bootLoaderText = "0.90";  // the boot-loader decoder's loader version
  uint32_t decoderRestartMs = 3000;     // swid: quiet after the image
};

class Controller : public Device {
 public:
  explicit Controller(Profile profile, Faults faults = {});
  void receive(uint8_t byte, const Line& sent, uint64_t atUs) override;

  // The controller flash: bytes programmed since the last erase (erased bytes read 0xFF).
  const std::map<uint32_t, uint8_t>& flash() const { return flash_; }
  uint8_t flashByte(uint32_t address) const;
  // The line the module listens at: the decoder's once the line is routed to it.
  Line listening() const { return routed_ ? decoder_.line() : listen_; }
  const Profile& profile() const { return profile_; }
  Faults& faults() { return faults_; }
  bool bootLoaderActive() const { return loader_; }
  unsigned recordsTaken() const { return records_; }
  unsigned erases() const { return erases_; }
  bool programmingEnded() const { return ended_; }
  // Every record answered, as it arrived (without line end), and the answer: '.' taken, else
  // the code it was refused with; whether the boot loader or the application answered it.
  struct AnsweredRecord {
    std::string text;
    char answer;
    bool loader;
  };
  const std::vector<AnsweredRecord>& answeredRecords() const { return answered_; }
  // What the module keeps differs from what it held when switched on: the flash erased or
  // programmed, the FPGA erased or written, an image or version taken by a coprocessor or decoder.
  bool changed() const;

  // The coprocessors: FPGA flash programmed since its last erase, decoder flash, and the transfer
  // of the current (or last) frame mode. The decoder flash is the routed decoder's when the module
  // has one (see Decoder::image), else the last good image of frame mode.
  const std::vector<uint8_t>& fpgaImage() const { return coproc_.fpgaImage(); }
  std::vector<uint8_t> decoderImage() const;
  unsigned fpgaErases() const { return coproc_.fpgaErases(); }
  unsigned dataBlocks() const { return coproc_.dataBlocks(); }
  std::optional<uint32_t> lengthFrame() const { return coproc_.lengthFrame(); }
  bool frameMode() const { return frameMode_; }
  std::string coprocessorVersion() const { return coproc_.version(); }
  std::array<uint8_t, 2> fpgaVersion() const { return coproc_.fpgaVersion(); }
  // For the transfer report: a frame has begun but not ended; E1 frames since entering frame
  // mode (length frame and refused ones included); CRC checks so far and whether the last was O.
  bool frameInProgress() const { return frameMode_ && frames_.inFrame(); }
  unsigned dataFrames() const { return dataFrames_; }
  unsigned crcChecks() const { return crcChecks_; }
  bool lastCheckGood() const { return lastCheckGood_; }

  // The decoder behind the MPEG update mode, and whether the line is routed to it.
  const Decoder& decoder() const { return decoder_; }
  bool decoderRouted() const { return routed_; }
  // The module is switched off (end of the program): see Decoder::powerOff.
  void powerOff() { decoder_.powerOff(faults_); }

  enum class Action : uint8_t;

 private:
  // The length of the service frame begun in service_; 0 when its first byte begins none.
  size_t serviceFrameLength() const;
  void take(char c, uint64_t atUs);
  void command(Action action, std::string_view frame, uint64_t atUs);
  void record(uint64_t atUs);
  void service(uint8_t byte, uint64_t atUs);
  void frameByte(uint8_t byte, uint64_t atUs);
  void enterFrameMode(CoprocessorKind target, bool byRecord);
  void toDecoder(uint8_t byte, const Line& sent, uint64_t atUs);
  void reply(std::string_view echo, std::string_view data, size_t tail, uint64_t atUs);
  void send(std::string bytes, uint64_t atUs, const Line& line);
  void restart(uint64_t atUs);
  std::string typeNow() const;

  Profile profile_;
  Faults faults_;
  Line listen_;
  std::string history_;  // recent bytes, matched against the command frames
  std::string record_;   // the record being received by the boot loader
  std::map<uint32_t, uint8_t> flash_;
  bool erasedOnce_ = false;
  bool loader_ = false;
  bool awake_ = true;
  bool otherType_ = false;
  bool ended_ = false;
  bool vanished_ = false;
  uint32_t base_ = 0;
  unsigned records_ = 0;
  std::vector<AnsweredRecord> answered_;
  unsigned dataRecords_ = 0;
  unsigned erases_ = 0;
  unsigned replyBytes_ = 0;
  unsigned mutedReplies_ = 0;
  uint64_t silentUntilUs_ = 0;
  bool dead_ = false;
  std::string service_;  // the service frame being received at 2400 baud
  Coprocessors coproc_;
  FrameReader frames_;
  bool frameMode_ = false;
  bool frameByRecord_ = false;  // frame mode entered through the QD FPGA record
  unsigned dataFrames_ = 0;
  unsigned modeRequests_ = 0;
  unsigned crcChecks_ = 0;
  bool lastCheckGood_ = false;
  Decoder decoder_;
  bool routed_ = false;
};

}  // namespace qdqm::sim

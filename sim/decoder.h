// The MPEG decoders a controller hands its serial line to after the MPEG update-mode record
// (:0100000302fa): from the next byte on, the tool talks to the decoder directly, at the decoder's
// own line settings, until the module is switched off. Three kinds:
//   swid         ASCII commands at 19200 8N1; after "boot\r" ten "U" and the raw image, which ends
//                when the line stays quiet for a second; then the decoder restarts with the image.
//   VERS         ASCII commands at 9600 8E1; "REST" starts its loader, which takes a length, a
//                20-byte header, the payload and a CRC-32 and reports the programming as it goes.
//   boot loader  binary frames at 9600 8N1, its boot loader at 57600 8N1: blocks are loaded into
//                RAM, then written to the flash erased before; the replies are length-prefixed
//                texts.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"
#include "sim/faults.h"

namespace qdqm::sim {

enum class DecoderKind { None, Swid, Vers, BootLoader };

// By module type: QD29E, QD2xA, QD20A swid; QD22, QD24, QD292, QD20 VERS; QD09, QD29 the
// boot-loader decoder; any other none.
DecoderKind defaultDecoder(std::string_view type);
// The version text a kind reports before and after an update: swid "1.05" / "2.01", VERS
// "V1.05" / "V2.01", the boot-loader decoder "v100" / "v201".
std::string_view defaultDecoderVersion(DecoderKind kind, bool afterUpdate);

// The boot-loader decoder's application flash (erased from its start on) and where its loader
// puts a block in RAM.
constexpr uint32_t kDecoderFlashStart = 0x2C020000;
constexpr uint32_t kDecoderFlashEnd = 0x2C400000;
constexpr uint32_t kDecoderRamStart = 0x10000000;

class Decoder {
 public:
  struct Setup {
    DecoderKind kind = DecoderKind::None;
    std::string version;              // empty: the kind's default
    std::string versionAfter;         // after an update; empty: the kind's default
    std::string bootLoader = "0.90";  // the boot-loader decoder's loader version
    uint32_t restartMs = 3000;        // swid: quiet after the last image byte
  };
  // How a reply went out: the bytes put on the line (reply faults included) and when the last of
  // them is out.
  struct Sent {
    size_t bytes = 0;
    uint64_t doneUs = 0;
  };
  // Puts `bytes` on the line, to start leaving at `readyUs` at the settings `line`.
  using Send = std::function<Sent(std::string_view bytes, uint64_t readyUs, const Line& line)>;

  // One image transfer as the report shows it: from when its first byte began arriving to its
  // end, with the bytes of that stretch both ways and their wire time at 10 bits a byte (11 with
  // parity). swid: the image bytes; VERS: length frame to the "Data Ok" or "CRC Error" reply;
  // boot loader: the first RAM load after an erase to the last flash write's reply.
  struct Transfer {
    uint64_t startUs = 0;
    uint64_t endUs = 0;
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;
    double wireUs = 0;
    bool ended = false;
    bool ok = false;  // the image was taken: complete, CRC right, every block written
  };

  explicit Decoder(Setup setup);
  // The settings it listens and answers at now.
  Line line() const;
  // A byte whose last bit arrived at `atUs`, sent at `sent`; replies go out through `send`.
  void receive(uint8_t byte, const Line& sent, uint64_t atUs, const Faults& faults,
               const Send& send);
  // The module is switched off: an image still arriving counts as complete, an open transfer
  // ends.
  void powerOff(const Faults& faults);

  // The flash: swid and VERS the last image taken (a swid image still arriving counts as
  // complete), the boot-loader decoder its bytes from kDecoderFlashStart up to the highest one
  // written.
  std::vector<uint8_t> image() const;
  const std::string& version() const { return version_; }
  // Its flash erased or written (a swid image still arriving included), or its version changed,
  // since power-on.
  bool changed() const {
    return !flash_.empty() || (updating_ && !received_.empty()) || version_ != setup_.version;
  }
  bool updating() const;  // swid: in its update mode; VERS, boot loader: in their loader
  const std::vector<Transfer>& transfers() const { return transfers_; }

  // The text commands, and where the decoder hears them.
  enum class Command : uint8_t;
  enum class Where : uint8_t;

 private:
  // Bytes both ways and their wire time since power-on; a transfer's figures are differences.
  struct Counts {
    uint64_t in = 0;
    uint64_t out = 0;
    double wireNs = 0;
  };
  struct Mark {
    uint64_t atUs = 0;
    Counts counts;
  };
  enum class Vers : uint8_t { Application, WaitForD, Ready, Length, Header, Payload, Crc, Hung };
  enum class Frame : uint8_t { Idle, Head, Body };

  void swid(uint8_t byte, uint64_t atUs, const Faults& faults, const Send& send);
  void finishImage(const Faults& faults);
  void vers(uint8_t byte, uint64_t atUs, const Faults& faults, const Send& send);
  void versCheck(uint64_t atUs, const Faults& faults, const Send& send);
  void loader(uint8_t byte, const Faults& faults, uint64_t atUs, const Send& send);
  void loaderFrame(uint64_t atUs, const Faults& faults, const Send& send);
  void erase(std::string_view text, uint64_t atUs, const Send& send);
  void write(std::string_view text, uint64_t atUs, const Faults& faults, const Send& send);
  // Takes the byte into the recent bytes; a command they now end in, of those heard at `where`.
  std::optional<Command> heard(uint8_t byte, Where where);
  Sent say(std::string_view text, uint64_t readyUs, const Send& send);
  Sent sayFramed(std::string_view text, uint64_t atUs, const Send& send);
  void openTransfer(const Mark& from);
  void markTransfer(uint64_t endUs);
  void closeTransfer(bool ok);
  bool loaderOk() const;

  Setup setup_;
  std::string version_;
  std::string history_;  // recent bytes, matched against the commands
  std::vector<uint8_t> flash_;
  Counts counts_;
  Mark beforeByte_;  // where a transfer starting with the byte being taken starts
  std::vector<Transfer> transfers_;
  Counts transferFrom_;
  bool open_ = false;
  // swid
  bool updating_ = false;
  unsigned sync_ = 0;
  std::vector<uint8_t> received_;  // swid, VERS: the image arriving
  uint64_t lastImageUs_ = 0;
  uint64_t quietUntilUs_ = 0;
  // VERS
  Vers vers_ = Vers::Application;
  unsigned count_ = 0;
  uint32_t value_ = 0;
  uint32_t length_ = 0;
  // The boot-loader decoder.
  bool bootLoader_ = false;
  Frame frame_ = Frame::Idle;
  std::vector<uint8_t> frameBytes_;
  size_t frameSize_ = 0;
  Mark frameStart_;
  std::vector<uint8_t> ram_;
  bool ramLoaded_ = false;
  unsigned loads_ = 0;
  uint32_t erasedFrom_ = 0, erasedTo_ = 0;  // the range of the last erase
  size_t writtenEnd_ = 0;                   // past the highest byte written, from the flash start
  bool erasedSinceTransfer_ = false;
  bool blockUnwritten_ = false;  // the block in RAM is not in the flash yet
  bool blockLost_ = false;       // a block of the transfer was replaced before it was written
  unsigned blocksWritten_ = 0;
};

}  // namespace qdqm::sim

// The coprocessors behind a module's controller, reprogrammed through it in short binary frames:
// the FPGA (a configuration flash written block by block after an erase) and, on some modules, an
// MPEG decoder (an image collected in a receive buffer and kept once its CRC checks out).
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qdqm::sim {

// What sits behind the controller's update mode (15 E0 xx).
enum class CoprocessorKind { None, Fpga, Crc32Decoder, Crc16Decoder };

// By module type: QM23 an FPGA; QM29, QM22, QM20 a CRC-32 decoder; QM492, QM40 a CRC-16 decoder.
CoprocessorKind defaultCoprocessor(std::string_view type);

// Reflected CRC-32, polynomial 0xEDB88320, no final inversion: how the decoder checks its image.
uint32_t crc32(std::span<const uint8_t> bytes, uint32_t crc = 0xFFFFFFFF);
// CRC-16, polynomial 0x1021, MSB first, no final XOR: how the FPGA and the CRC-16 decoder check.
uint16_t crc16(std::span<const uint8_t> bytes, uint16_t crc = 0xFFFF);
// What an FPGA or decoder flash held at `offset` before its first erase: old contents, never
// blank.
uint8_t oldFlashByte(size_t offset);

// Frame mode's frames taken apart byte by byte: 3A, the command, then for E1 a length byte and
// that many bytes, for E2 four bytes. Data can be anything, so only the position tells a byte's
// meaning.
class FrameReader {
 public:
  enum class Event : uint8_t { None, Erase, Data, Check, NoFrame };
  Event take(uint8_t byte);
  // The E1 data or the four E2 bytes of the frame just completed.
  std::span<const uint8_t> body() const { return body_; }
  // After NoFrame: the bytes that turned out not to start a frame, in arrival order.
  std::string_view stray() const { return stray_; }
  bool inFrame() const { return state_ != State::Start; }
  void reset();

 private:
  enum class State : uint8_t { Start, Command, Length, Body };
  State state_ = State::Start;
  Event event_ = Event::None;
  size_t need_ = 0;
  std::vector<uint8_t> body_;
  std::string stray_;
};

// The 16-byte version blocks the coprocessors answer through the controller.
enum class VersionBlock : uint8_t { Decoder, Fpga, TwinFirst, TwinSecond };

// Reply bytes of frame mode.
constexpr uint8_t kErased = 0xE3;
constexpr uint8_t kTaken = 0xE1;
constexpr uint8_t kRefused = 0xEE;
constexpr uint8_t kCrcGood = 'O';
constexpr uint8_t kCrcBad = 'E';

// The module's FPGA and decoder, and the transfer to one of them while the controller is in frame
// mode. There is one FPGA: the QD record and the update mode of an FPGA module both reach it.
class Coprocessors {
 public:
  struct Setup {
    CoprocessorKind kind = CoprocessorKind::None;  // behind the update mode
    std::string version = "1.00";                  // of that coprocessor, 4 characters
    std::string versionAfter = "2.00";
    std::array<uint8_t, 2> fpga{0x00, 0x00};  // the QD FPGA's two version bytes
    std::array<uint8_t, 2> fpgaAfter{0x01, 0x00};
  };
  explicit Coprocessors(Setup setup);

  CoprocessorKind kind() const { return setup_.kind; }
  // The mode byte of 15 E0 xx the update-mode coprocessor takes; none without one.
  std::optional<uint8_t> modeByte() const;
  // The block as the coprocessor sends it; empty when this module has none answering it.
  std::string versionBlock(VersionBlock which) const;

  // A transfer to `target` (Fpga for the FPGA however it was reached) starts from nothing.
  void begin(CoprocessorKind target);
  uint8_t erase();
  // An E1 frame; the `refuseNth` image data frame of the transfer (1-based) is refused.
  uint8_t data(std::span<const uint8_t> bytes, unsigned refuseNth);
  // The CRC check of the transfer; true (O) when `value` matches and `spoilt` is false. Then the
  // target takes the image and its new version.
  bool check(uint32_t value, bool spoilt);

  const std::vector<uint8_t>& fpgaImage() const { return fpgaFlash_; }
  const std::vector<uint8_t>& decoderImage() const { return decoderFlash_; }
  unsigned fpgaErases() const { return fpgaErases_; }
  unsigned dataBlocks() const { return taken_; }
  std::optional<uint32_t> lengthFrame() const { return length_; }
  const std::string& version() const { return version_; }
  std::array<uint8_t, 2> fpgaVersion() const { return fpga_; }
  // The FPGA erased or written, or a coprocessor image taken, since power-on.
  bool changed() const {
    return fpgaErases_ > 0 || !fpgaFlash_.empty() || !decoderFlash_.empty() ||
           fpga_ != setup_.fpga || version_ != setup_.version;
  }

 private:
  void program(std::span<const uint8_t> bytes);

  Setup setup_;
  std::string version_;
  std::array<uint8_t, 2> fpga_;
  std::vector<uint8_t> fpgaFlash_;
  bool fpgaErasedOnce_ = false;
  unsigned fpgaErases_ = 0;
  std::vector<uint8_t> decoderFlash_;
  // The transfer under way.
  CoprocessorKind target_ = CoprocessorKind::None;
  std::vector<uint8_t> received_;
  std::optional<uint32_t> length_;
  unsigned imageFrames_ = 0;  // refused ones included
  unsigned taken_ = 0;
};

}  // namespace qdqm::sim

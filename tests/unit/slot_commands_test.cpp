// The slot frames on a scripted line: byte for byte as the base unit expects them (letter, length,
// reply count, time-out byte, payload), the slot number behind every reply, and what each command
// makes of the module's answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "app/update_dialog.h"
#include "link/serial_port.h"
#include "link/slot_commands.h"
#include "link/type_codes.h"
#include "link/version_query.h"
#include "tests/support/fake_line.h"
#include "tests/support/scripted_host.h"
#include "tests/support/test_bytes.h"

namespace qdqm {
namespace {

using testing::bytes;

// The frame head of slot n: 00 n letter length m time-out.
std::string head(int slot, char letter, size_t payload, int m, int timeout) {
  return bytes({0x00, slot, letter, static_cast<int>(payload + 2), m, timeout});
}

class SlotLine : public testing::FakeLineTest {
 protected:
  // The module's reply with the slot number behind it, as the base unit sends it.
  void answer(const std::string& moduleReply, int slot, uint64_t afterUs = 2000) {
    line->reply(moduleReply + static_cast<char>(slot), afterUs);
  }
};

TEST_F(SlotLine, FrameAndSlotNumber) {
  // Slot 3, letter P, a 13-byte payload, 5 reply bytes within 1000 ms: 19 bytes, and the PC waits
  // 2001 cycles for 6.
  std::vector<uint8_t> reply;
  answer("QM21_", 3);
  EXPECT_EQ(slotExchange(port, SlotLetter::P, 3, ":0100000501f9", 5, 1000, &reply), 1);
  EXPECT_EQ(written(), head(3, 'P', 13, 5, 0x0A) + ":0100000501f9");
  EXPECT_EQ(std::string(reply.begin(), reply.end()), "QM21_");
  // A reply whose last byte is not the slot number is not this slot's answer.
  answer("QM21_", 4);
  EXPECT_EQ(slotExchange(port, SlotLetter::P, 3, ":0100000501f9", 5, 1000, &reply), 0);
  written();
  line->reads = 0;
  EXPECT_EQ(slotExchange(port, SlotLetter::P, 3, ":0100000501f9", 5, 1000, &reply), 0);
  EXPECT_EQ(line->reads, 1999);
  written();
  // The time-out byte is truncated (30 ms gives 0); letter S counts in units of 10 s.
  slotSyncBytes(port, 2, 30);
  EXPECT_EQ(written(), head(2, 'T', 2, 2, 0) + "UU");
  EXPECT_EQ(slotExchange(port, SlotLetter::S, 5, "x", 1, 30000), 0);
  EXPECT_EQ(written(), head(5, 'S', 1, 1, 3) + "x");
}

TEST_F(SlotLine, PanelVersions) {
  // A module found by asking it directly: its controller's version, raw or in the record protocol.
  for (const auto& [reply, text] : std::initializer_list<std::pair<std::string, std::string>>{
           {bytes({0x02, 0x21}), "Ver.: 2.21"},
           {bytes({0x12, 0x05}), "Ver.:12.05"},
           {bytes({0x0A, 0x3F}), "Ver.: a.3f"}}) {
    answer(reply, 1);
    EXPECT_EQ(slotReadVersion(port, 1, 0x00, nullptr, 0), text);
    EXPECT_EQ(written(), head(1, 'P', 13, 2, 0x0A) + ":0100000502f8");
  }
  answer("0105\r\n", 2);
  EXPECT_EQ(slotReadVersion(port, 2, 0x00, nullptr, 1), "Ver.:01.05");
  EXPECT_EQ(written(), head(2, 'T', 21, 6, 0x0A) + ":050000090000000011e1");

  // QM61: 15 11 00 and the two bytes printed; its block holds the text's first 10 characters.
  VersionBlock block;
  answer(bytes({0x01, 0x05}), 4);
  EXPECT_EQ(slotReadVersion(port, 4, 0x52, &block, 0), "Ver.: 1.05");
  EXPECT_EQ(written(), head(4, 'P', 3, 2, 0x0A) + bytes({0x15, 0x11, 0x00}));
  EXPECT_EQ(block.text(), "Ver.: 1.05");

  // QM21M: characters 1 to 4 through a slot, 2 to 5 asked directly.
  answer("abcdefghijklmnop", 5);
  EXPECT_EQ(slotReadVersion(port, 5, 0x6D, nullptr, 0), "Ver.: bcde");
  EXPECT_EQ(written(), head(5, 'P', 2, 16, 40) + bytes({0x14, 0x03}));
  line->reply("abcdefghijklmnop", 2000);
  EXPECT_EQ(readCoprocessorVersion(port, 0x6D, nullptr), "Ver.: cdef");
  written();

  // QM4x with a block: both halves, the text from the second reply's characters 1 to 4.
  answer("Mv1.23          ", 6);
  answer("Fv1.24          ", 6, 200'000);
  EXPECT_EQ(slotReadVersion(port, 6, 0x67, &block, 1), "Ver.: v1.2");
  EXPECT_EQ(block.text(), "Mv1.23          Fv1.24          ");
  written();

  // Codes without a query send nothing; a silent module reads "?.??".
  block.bytes[0] = 'x';
  EXPECT_EQ(slotReadVersion(port, 1, 0x42, &block, 0), "Ver.: n.a.");
  EXPECT_EQ(block.text(), "");
  EXPECT_EQ(written(), "");
  EXPECT_EQ(slotReadVersion(port, 1, 0x53, nullptr, 0), "Ver.: ?.??");
}

TEST_F(SlotLine, CoprocessorFramesAndLetters) {
  // QM292 modules from 1.00 to 1.05 take the mode frame with letter Q.
  for (unsigned version : {105u, 106u}) {
    answer(".", 3);
    answer(bytes({0xE0}), 3, 200'000);
    EXPECT_EQ(slotEnterUpdateMode(port, 3, 0x53, version), 1);
    EXPECT_EQ(written(), head(3, 'P', 3, 1, 0x0A) + bytes({0x15, 0x01, 0x01}) +
                             head(3, version == 105 ? 'Q' : 'P', 3, 1, 230) +
                             bytes({0x15, 0xE0, 0x00}));
  }
  EXPECT_EQ(slotEnterUpdateMode(port, 3, 0x00, 0), 1);  // code 0: nothing to switch
  EXPECT_EQ(slotEnterUpdateMode(port, 3, 0x56, 0), 0);  // QM21: no update mode
  EXPECT_EQ(written(), "");

  const uint8_t data[3] = {0xAA, 0x00, 0x00};
  answer(bytes({0xE1}), 2);
  EXPECT_EQ(slotSendDataBlock(port, 2, data, 3, 2000, 0x67, 0), 1);
  EXPECT_EQ(written(), head(2, 'P', 6, 1, 20) + bytes({0x3A, 0xE1, 0x03, 0xAA, 0x00, 0x00}));
  EXPECT_EQ(slotSendDataBlock(port, 2, data, 0, 2000, 0x67, 0), 1);
  EXPECT_EQ(written(), "");

  answer(bytes({0xE1}), 2);
  EXPECT_EQ(slotSendDataLength(port, 2, 0x0103FFEC, 0x53, 104), 1);
  EXPECT_EQ(written(),
            bytes({0x00, 0x02, 'Q', 0x09, 0x01, 0xE6, 0x3A, 0xE1, 0x04, 0x01, 0x03, 0xFF, 0xEC}));
  answer(bytes({0xE3}), 7);
  EXPECT_EQ(slotEraseFpga(port, 7, 0x5E), 1);
  EXPECT_EQ(written(), head(7, 'P', 2, 1, 230) + bytes({0x3A, 0xE3}));
  EXPECT_EQ(slotEraseFpga(port, 7, 0x53), 0);
  EXPECT_EQ(written(), "");
}

TEST_F(SlotLine, ChecksumByBaseUnitVersion) {
  // From 2.22 on: letter S, the time-out in units of 10 s.
  answer("O", 1);
  EXPECT_EQ(slotCheckCrc(port, 1, 0x0000ABCD, 30000, {0x02, 0x22, 0}), 1);
  EXPECT_EQ(written(), head(1, 'S', 6, 1, 3) + bytes({0x3A, 0xE2, 0x00, 0x00, 0xAB, 0xCD}));
  // Up to 2.21: letter P with at most 25.5 s; anything but "O" then is referred to the handset
  // and counts as done.
  answer("E", 1);
  EXPECT_EQ(slotCheckCrc(port, 1, 0x0000ABCD, 30000, {0x02, 0x21, 0}), 1);
  EXPECT_EQ(written(), head(1, 'P', 6, 1, 255) + bytes({0x3A, 0xE2, 0x00, 0x00, 0xAB, 0xCD}));
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].caption, "Check module-version after complet update!");
  EXPECT_EQ(host.boxes[0].icon, Icon::Information);
  // A time-out the base unit could keep: a wrong answer is a failure.
  answer("E", 1);
  EXPECT_EQ(slotCheckCrc(port, 1, 0, 20000, {0x01, 0x99, 0}), 0);
  EXPECT_EQ(host.boxes.size(), 1u);
}

TEST_F(SlotLine, WakeUpEraseAndSelectByGroup) {
  answer(".", 1);
  answer(bytes({0xEF}), 1, 200'000);
  EXPECT_EQ(slotWakeBootLoader(port, 1, 0x5E), 1);
  EXPECT_EQ(written(), head(1, 'P', 3, 1, 0x0A) + bytes({0x15, 0x01, 0x01}) +
                           head(1, 'Q', 3, 1, 80) + bytes({0x15, 0xEF, 0x00}));
  // The QM21 family: a longer first wait, no pause, the two-byte frame answered 0x15.
  answer(".", 2);
  answer(bytes({0x15}), 2, 10'000);
  EXPECT_EQ(slotWakeBootLoader(port, 2, 0x56), 1);
  EXPECT_EQ(written(), head(2, 'P', 3, 1, 80) + bytes({0x15, 0x01, 0x01}) + head(2, 'Q', 2, 1, 80) +
                           bytes({0x15, 0xEF}));
  EXPECT_EQ(slotWakeBootLoader(port, 2, 0x00), 1);

  answer(".\r\n", 4);
  EXPECT_EQ(slotEraseFlash(port, 4, 0x67, 1), 1);
  EXPECT_EQ(written(), head(4, 'T', 17, 3, 130) + ":0300000480000079");
  answer("P", 4);
  EXPECT_EQ(slotEraseFlash(port, 4, 0x00, 0), 'P');
  EXPECT_EQ(written(), head(4, 'Q', 15, 1, 130) + ":021000030100ea");
  EXPECT_EQ(slotEraseFlash(port, 4, 0x52, 0), 0);  // QM61: not updatable
  // Answer bytes 0 and 1 are no result code: they read neither as no answer nor as erased.
  for (int code : {0x00, 0x01}) {
    answer(bytes({code}), 4);
    const int result = slotEraseFlash(port, 4, 0x53, 0);
    EXPECT_NE(result, 0) << code;
    EXPECT_NE(result, 1) << code;
    written();
  }

  answer(".\r\n", 5);
  EXPECT_EQ(slotSelectController(port, 5, 0x00, 1), 1);
  EXPECT_EQ(written(), head(5, 'T', 15, 3, 0x0A) + ":02000002880173");
}

TEST_F(SlotLine, IdentifyAsksTheModuleItself) {
  SlotEntry entry;
  entry.typeCode = 0x99;
  answer("UU", 6);
  answer("QM21M", 6, 50'000);
  answer(bytes({0x02}), 6, 200'000);
  EXPECT_EQ(slotIdentify(port, 6, entry), "QM21M");
  EXPECT_EQ(entry.dirSpec, ".\\QM21M_2");
  EXPECT_TRUE(entry.present);
  EXPECT_EQ(entry.typeCode, 0);
  EXPECT_EQ(entry.recordProtocol, 0);
  EXPECT_THAT(written(), ::testing::HasSubstr(head(6, 'P', 13, 1, 0x0A) + ":0100000503f7"));

  // No "QM" in the raw answer: the record protocol's type query.
  SlotEntry record;
  answer("UU", 7);
  answer(":0100", 7, 50'000);
  answer(".\r", 7, 150'000);
  answer("QM492..", 7, 300'000);
  EXPECT_EQ(slotIdentify(port, 7, record), "QM492");
  EXPECT_EQ(record.dirSpec, ".\\QM492_");
  EXPECT_EQ(record.recordProtocol, 1);
  EXPECT_THAT(written(), ::testing::HasSubstr(head(7, 'T', 21, 7, 0x0A) + ":050000090000000010E2"));

  SlotEntry none;
  none.typeCode = 0x41;
  EXPECT_EQ(slotIdentify(port, 8, none), "empty");
  EXPECT_FALSE(none.present);
  EXPECT_EQ(none.typeCode, 0x41);
}

TEST(TypeCodes, NamesFlagsAndDirectories) {
  const TypeCodeName qm292 = typeCodeName(0x53);
  EXPECT_EQ(qm292.name, "QM292");
  EXPECT_TRUE(qm292.updatable);
  EXPECT_EQ(qm292.dirSpec, ".\\QM292_");
  const TypeCodeName qm37 = typeCodeName(0x42);
  EXPECT_EQ(qm37.name, "QM37_");
  EXPECT_FALSE(qm37.updatable);
  EXPECT_EQ(typeCodeName(0x6D).dirSpec, ".\\QM21M_2");  // revision 2, no question asked
  EXPECT_EQ(typeCodeName(0x6C).recordProtocol, 1);
  const TypeCodeName none = typeCodeName(0x00);
  EXPECT_EQ(none.name, "empty");
  EXPECT_EQ(none.dirSpec, ".\\empty_");
  EXPECT_EQ(typeGroupOf(0x69), TypeGroup::QM4x);
  EXPECT_EQ(typeGroupOf(0x5D), TypeGroup::Plain);
  EXPECT_EQ(typeGroupOf(0x41), TypeGroup::Unknown);
}

}  // namespace
}  // namespace qdqm

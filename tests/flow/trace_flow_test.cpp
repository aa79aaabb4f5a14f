// A frame trace of whole update runs against the simulated module: every frame the module received
// is on a TX line, in order, at its time and line settings, and every byte the tool read is on an
// RX line that starts with the read that brought it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/update_dialog.h"
#include "sim/controller.h"
#include "tests/support/test_bytes.h"
#include "tests/support/trace_lines.h"
#include "tests/support/update_fixture.h"

namespace qdqm {
namespace {

using testing::MemorySink;
using testing::readTrace;
using testing::TraceLine;
using Written = testing::SimLine::Written;

std::string frameOf(const LineSettings& s) {
  constexpr const char* kFrames[] = {"8N1", "8O1", "8E1"};
  return kFrames[static_cast<int>(s.parity)];
}

struct Case {
  const char* name;
  const char* typeDir;
  const char* type;
  sim::DecoderKind decoder;
  const char* mpegLine;  // line 3 of the controller data file
  const char* mpegFile;  // the decoder image, "" for none
  Parity decoderParity;  // what the decoder stage's frames must show
  uint32_t decoderBaud;
};

// A plain controller flash (raw protocol, 115200 baud), and a VERS decoder at 9600 baud with even
// parity whose texts come back a byte a cycle.
const Case kCases[] = {
    {"controller", "QD21S_1", "QD21S", sim::DecoderKind::None, ";", "", Parity::None, 115200},
    {"vers", "QD22A_", "QD22A", sim::DecoderKind::Vers, "mpeg\\V2_01.bin", "mpeg/V2_01.bin",
     Parity::Even, 9600},
};

class TraceFlow : public testing::UpdateFlow {};

TEST_F(TraceFlow, TraceHoldsEveryFrameInOrder) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string typeDir = c.typeDir;
    dataFile(typeDir + "/upd2.01", c.type, 0, 256, ";", c.mpegLine);
    if (*c.mpegFile) write(typeDir + "/" + c.mpegFile, testing::imageBytes(20 + 300, 5));
    sim::Profile p = testing::profile(c.type);
    p.decoder = c.decoder;
    p.decoderVersion = "V1.05";
    p.decoderVersionAfter = "V2.01";
    Run r(p, {}, dir);
    r.host.answers = {true};

    testing::SimLine& line = *r.opener.line(1);
    const size_t writesBefore = line.writes.size(), readsBefore = line.reads.size();
    std::string text;
    const uint64_t start = r.clock.nowUs();
    r.dlg.port.trace =
        std::make_unique<FrameTrace>(r.clock, std::make_unique<MemorySink>(text), c.name);
    r.update("upd2.01");
    ASSERT_EQ(r.dlg.verdict, Verdict::Success);
    r.dlg.port.trace.reset();

    const std::vector<TraceLine> trace = readTrace(text);
    std::vector<const TraceLine*> tx, rx;
    for (const TraceLine& l : trace) {
      if (l.dir == "TX") tx.push_back(&l);
      if (l.dir == "RX") rx.push_back(&l);
    }

    // Every write call the module received: its bytes, time and settings, in order.
    const std::vector<Written> writes(line.writes.begin() + static_cast<long>(writesBefore),
                                      line.writes.end());
    ASSERT_EQ(tx.size(), writes.size());
    bool decoderFrames = false;
    for (size_t i = 0; i < writes.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(tx[i]->bytes, writes[i].bytes);
      EXPECT_EQ(tx[i]->us, writes[i].atUs - start);
      EXPECT_EQ(tx[i]->baud, writes[i].settings.baud);
      EXPECT_EQ(tx[i]->frame, frameOf(writes[i].settings));
      decoderFrames |=
          writes[i].settings.baud == c.decoderBaud && writes[i].settings.parity == c.decoderParity;
    }
    EXPECT_TRUE(decoderFrames);

    // Every read: an RX line is the reads from its first one on, stamped with that first one.
    const std::vector<Written> reads(line.reads.begin() + static_cast<long>(readsBefore),
                                     line.reads.end());
    size_t k = 0;
    for (const TraceLine* l : rx) {
      ASSERT_LT(k, reads.size());
      EXPECT_EQ(l->us, reads[k].atUs - start);
      EXPECT_EQ(l->baud, reads[k].settings.baud);
      std::vector<uint8_t> joined;
      while (k < reads.size() && joined.size() < l->bytes.size()) {
        joined.insert(joined.end(), reads[k].bytes.begin(), reads[k].bytes.end());
        ++k;
      }
      EXPECT_EQ(joined, l->bytes);
    }
    EXPECT_EQ(k, reads.size());

    // A reply of an exchange is one line: the boot loader's acknowledge of each of the 16
    // records (256 bytes) and of the end record stands alone.
    size_t acks = 0;
    for (const TraceLine* l : rx) acks += l->bytes == std::vector<uint8_t>{'.'};
    EXPECT_GE(acks, 16u + 1u);

    // The lines are in time order.
    for (size_t i = 1; i < trace.size(); ++i) EXPECT_LE(trace[i - 1].us, trace[i].us) << i;
    std::filesystem::remove_all(dir / typeDir);
  }
}

}  // namespace
}  // namespace qdqm

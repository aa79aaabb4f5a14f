// The frame trace: the line format, what the serial port puts on which line (one line per write
// call, a reply's reads on one line, events for settings and failures), the trace file, and the
// dialog's start and end of a trace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/trace.h"
#include "app/update_dialog.h"
#include "coproc/serial_waits.h"
#include "link/frame_trace.h"
#include "link/serial_port.h"
#include "procedures/procedures.h"
#include "tests/support/fake_line.h"
#include "tests/support/scripted_host.h"
#include "tests/support/test_bytes.h"
#include "tests/support/trace_lines.h"

namespace qdqm {
namespace {

void setEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

void unsetEnvironment(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

using ::testing::ElementsAre;
using testing::FakeLine;
using testing::FakeOpener;
using ::testing::HasSubstr;
using testing::MemorySink;
using testing::readTrace;
using testing::ScriptedHost;
using ::testing::StartsWith;
using testing::TraceLine;

std::vector<uint8_t> u8(const std::string& s) {
  return {s.begin(), s.end()};
}

TEST(TraceFormat, FramesShowTimeDirectionSettingsHexAndAscii) {
  const std::vector<uint8_t> record =
      u8(testing::bytes({':', '1', 0x0d, 0x0a, 0x00, 0xff, 0x20, 0x7e, 0x7f, 0x1f, 'a'}));
  EXPECT_EQ(formatTraceLine(1'234'567, TraceDirection::Tx, {115200, Parity::None}, record),
            "      1234.567  TX  115200 8N1  3A 31 0D 0A 00 FF 20 7E 7F 1F 61  |:1.... ~..a|\n");
  // Microseconds are the three decimals of the milliseconds, zero-padded.
  EXPECT_EQ(formatTraceLine(5, TraceDirection::Rx, {9600, Parity::Odd}, u8(".")),
            "         0.005  RX    9600 8O1  2E  |.|\n");
  EXPECT_EQ(formatTraceLine(12'000, TraceDirection::Event, {2400, Parity::Even}, {}, "settings"),
            "        12.000  --    2400 8E1  settings\n");
  // A write that moved nothing still has its line, with nothing in it.
  EXPECT_EQ(formatTraceLine(0, TraceDirection::Tx, {19200, Parity::None}, {}),
            "         0.000  TX   19200 8N1    ||\n");
}

// The port with a trace in memory, on a scripted line; the trace starts at the port's open.
class PortTrace : public ::testing::Test {
 protected:
  PortTrace() {
    opener.present[2] = {};
    port.trace = std::make_unique<FrameTrace>(clock, std::make_unique<MemorySink>(text), "test");
    EXPECT_EQ(openPort(2, port), 1);
    line = opener.last;
  }
  // Ends the trace, so that every line is written, and reads it.
  std::vector<TraceLine> lines() {
    port.trace.reset();
    return readTrace(text);
  }
  uint64_t since() { return clock.nowUs() - start; }

  VirtualClock clock;
  const uint64_t start = clock.nowUs();
  ScriptedHost host;
  FakeOpener opener{clock};
  SerialPort port{opener, clock, host};
  FakeLine* line = nullptr;
  std::string text;
  std::array<uint8_t, 16> reply{};
  size_t got = 0;
};

TEST_F(PortTrace, OneLinePerCommandAndPerReply) {
  EXPECT_THAT(text, StartsWith("# test\n"));
  clock.advanceUs(2500);
  // The reply comes 3 ms after the command, 200 us a byte: the first read ends with its fifth
  // byte, 0.8 ms after the first; the second read takes the last two.
  line->reply("QD21S\r\n", 3000, 200);
  EXPECT_EQ(exchange(port, "UU", reply, 7, 100, &got), 1);
  EXPECT_EQ(got, 7u);
  const uint64_t end = since();

  // 7 bytes where 3 are expected: the exchange takes 5, discardInput the other 2, on a line of
  // their own. A silent module: an event tells why the exchange ended.
  line->reply("abcdefg");
  EXPECT_EQ(exchange(port, "x", reply, 3, 100, &got), 1);
  EXPECT_EQ(discardInput(port), 1);
  EXPECT_EQ(exchange(port, "y", reply, 3, 10, &got), 0);
  // A slow module: its reply's bytes 30 ms apart still make one line.
  line->reply("slo", 0, 30'000);
  EXPECT_EQ(exchange(port, "z", reply, 3, 100, &got), 1);

  const std::vector<TraceLine> t = lines();
  ASSERT_EQ(t.size(), 10u) << text;
  EXPECT_EQ(t[9].dir, "RX");
  EXPECT_EQ(t[9].bytes, u8("slo"));
  EXPECT_EQ(t[0].dir, "--");
  EXPECT_EQ(t[0].text, "open COM2 fake");
  EXPECT_EQ(t[0].us, 0u);
  EXPECT_EQ(t[1].dir, "TX");
  EXPECT_EQ(t[1].bytes, u8("UU"));
  EXPECT_EQ(t[1].ascii, "UU");
  EXPECT_EQ(t[1].us, 2500u);
  EXPECT_EQ(t[2].dir, "RX");
  EXPECT_EQ(t[2].bytes, u8("QD21S\r\n"));
  EXPECT_EQ(t[2].ascii, "QD21S..");
  EXPECT_EQ(t[2].us, 2500u + 3000 + 800);
  EXPECT_LT(t[2].us, end);
  EXPECT_EQ(t[3].bytes, u8("x"));
  EXPECT_EQ(t[4].dir, "RX");
  EXPECT_EQ(t[4].bytes, u8("abcde"));
  EXPECT_EQ(t[5].dir, "RX");
  EXPECT_EQ(t[5].bytes, u8("fg"));
  EXPECT_EQ(t[6].bytes, u8("y"));
  EXPECT_EQ(t[7].dir, "--");
  EXPECT_EQ(t[7].text, "time-out, 0 of 3 reply bytes");
  for (const TraceLine& l : t) {
    EXPECT_EQ(l.baud, 19200u);
    EXPECT_EQ(l.frame, "8N1");
  }
}

// Between a reply and the next command the trace writes nothing: the reply's line goes out with
// the next command's, once that command's bytes are on their way.
TEST_F(PortTrace, AReplyIsWrittenWithTheNextCommand) {
  auto sink = std::make_unique<MemorySink>(text);
  MemorySink& s = *sink;
  text.clear();
  const uint64_t t0 = clock.nowUs();
  port.trace = std::make_unique<FrameTrace>(clock, std::move(sink), "next");
  line->reply(".");
  EXPECT_EQ(exchange(port, ":10", reply, 1, 100, &got), 1);
  const size_t calls = s.calls;
  const std::string before = text;
  EXPECT_EQ(writeBytes(port, u8(":00").data(), 3), 1);
  EXPECT_EQ(s.calls, calls + 1);
  EXPECT_EQ(text.substr(before.size()), formatTraceLine(clock.nowUs() - t0, TraceDirection::Rx,
                                                        {19200, Parity::None}, u8(".")) +
                                            formatTraceLine(clock.nowUs() - t0, TraceDirection::Tx,
                                                            {19200, Parity::None}, u8(":00")));
}

TEST_F(PortTrace, FramesCarryTheSettingsInForce) {
  EXPECT_EQ(setBaudRate(port, 9600), 1);
  EXPECT_EQ(setParity(port, 2), 1);
  EXPECT_EQ(writeBytes(port, u8("VERS").data(), 4), 1);
  EXPECT_EQ(setParity(port, 1), 1);
  line->reply("ok");
  EXPECT_EQ(exchange(port, "?", reply, 2, 100, &got), 1);
  EXPECT_EQ(setBaudRate(port, 115200), 1);
  EXPECT_EQ(setParity(port, 0), 1);
  EXPECT_EQ(writeBytes(port, u8("U").data(), 1), 1);

  std::vector<std::string> shown;
  for (const TraceLine& l : lines())
    shown.push_back(l.dir + " " + std::to_string(l.baud) + " " + l.frame + " " +
                    (l.dir == "--" ? l.text : l.ascii));
  EXPECT_THAT(shown, ElementsAre("-- 19200 8N1 open COM2 fake", "-- 9600 8N1 settings",
                                 "-- 9600 8E1 settings", "TX 9600 8E1 VERS", "-- 9600 8O1 settings",
                                 "TX 9600 8O1 ?", "RX 9600 8O1 ok", "-- 115200 8O1 settings",
                                 "-- 115200 8N1 settings", "TX 115200 8N1 U"));
}

// A decoder's texts read a byte a cycle: one line per text, split by the pause between them, and
// by a change of the line's settings.
TEST_F(PortTrace, ReadsOutsideAnExchangeShareALineUntilAPause) {
  line->reply("Data Ok\r\n", 0, 1000);
  EXPECT_EQ(waitForText(port, "Data Ok\r\n", 100), 1);
  clock.advanceUs(FrameTrace::kQuietUs);
  line->reply("MODULE", 0, 1000);
  EXPECT_EQ(waitForText(port, "MOD", 100), 1);
  EXPECT_EQ(setBaudRate(port, 9600), 1);
  EXPECT_EQ(waitForText(port, "ULE", 100), 1);

  const std::vector<TraceLine> t = lines();
  ASSERT_EQ(t.size(), 5u) << text;
  EXPECT_EQ(t[1].dir, "RX");
  EXPECT_EQ(t[1].bytes, u8("Data Ok\r\n"));
  EXPECT_EQ(t[1].us, 1000u);  // read in the first 1 ms cycle
  EXPECT_EQ(t[2].bytes, u8("MOD"));
  EXPECT_EQ(t[2].baud, 19200u);
  EXPECT_EQ(t[3].text, "settings");
  EXPECT_EQ(t[4].bytes, u8("ULE"));
  EXPECT_EQ(t[4].baud, 9600u);
}

TEST_F(PortTrace, LostLineAndRefusedOpenAreEvents) {
  line->loseLine();
  EXPECT_EQ(exchange(port, "UU", reply, 1, 100, &got), 0);
  opener.present.erase(2);
  EXPECT_EQ(openPort(2, port), 0);
  const std::vector<TraceLine> t = lines();
  ASSERT_EQ(t.size(), 5u) << text;
  EXPECT_EQ(t[1].dir, "TX");
  EXPECT_TRUE(t[1].bytes.empty());
  EXPECT_EQ(t[2].text, "write failed, 0 of 1 reply bytes");
  EXPECT_EQ(t[3].text, "close");
  EXPECT_EQ(t[4].text, "COM2 not opened (No such file or directory)");
}

// A trace that cannot be written stops; the exchanges return, collect and take the same time as
// without a trace.
TEST(PortTraceFailure, AFullTraceLeavesTheExchangesAlone) {
  struct Run {
    Run() { opener.present[2] = {}; }
    VirtualClock clock;
    ScriptedHost host;
    FakeOpener opener{clock};
    SerialPort port{opener, clock, host};
    std::string text;
    std::string replies;
    std::vector<int> results;
    void go() {
      ASSERT_EQ(openPort(2, port), 1);
      for (int k = 0; k < 6; ++k) {
        std::array<uint8_t, 8> reply{};
        size_t got = 0;
        if (k != 3) opener.last->reply(std::string(1, static_cast<char>('a' + k)), 1500);
        results.push_back(exchange(port, "cmd", reply, 1, 50, &got));
        replies.append(reply.begin(), reply.begin() + static_cast<long>(got));
      }
    }
  };
  Run plain;
  plain.go();
  Run traced;
  auto sink = std::make_unique<MemorySink>(traced.text, 3);
  MemorySink& s = *sink;
  traced.port.trace = std::make_unique<FrameTrace>(traced.clock, std::move(sink), "full");
  traced.go();
  EXPECT_EQ(traced.results, plain.results);
  EXPECT_EQ(traced.replies, "abcef");
  EXPECT_EQ(traced.replies, plain.replies);
  EXPECT_EQ(traced.clock.nowUs(), plain.clock.nowUs());
  EXPECT_EQ(s.calls, 3u);  // the failed line was the last one tried
  EXPECT_EQ(traced.port.trace->error(), ENOSPC);
  EXPECT_EQ(readTrace(traced.text).size(), 1u);
}

TEST(TraceFile, LinesReachTheFileAtOnceAndFailuresAreKept) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qdqm-trace-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  VirtualClock clock;
  int error = 0;
  auto sink = openTraceFile((dir / "t.txt").string(), error);
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(sink->where(), (dir / "t.txt").string());
  {
    FrameTrace trace(clock, std::move(sink), "file");
    trace.sent({19200, Parity::None}, u8("UU"));
    // Readable while the trace runs: nothing waits in a buffer that a crash would lose.
    std::ifstream in(dir / "t.txt");
    std::stringstream now;
    now << in.rdbuf();
    EXPECT_EQ(now.str(), "# file\n         0.000  TX   19200 8N1  55 55  |UU|\n");
  }
  EXPECT_EQ(openTraceFile((dir / "missing" / "t.txt").string(), error), nullptr);
  EXPECT_EQ(error, ENOENT);
  std::filesystem::remove_all(dir);

  // A full disk: the trace keeps the error and writes nothing more.
  FrameTrace full(clock, openTraceFile("/dev/full", error), "full");
  full.sent({19200, Parity::None}, u8("UU"));
  EXPECT_EQ(full.error(), ENOSPC);
}

TEST(TraceNames, DirectoryAndFileName) {
#ifndef _WIN32
  EXPECT_EQ(traceDirectory("/x/state", "/home/u"), "/x/state/qdqm-update");
  // A relative or empty XDG_STATE_HOME is ignored, as the base-directory rules ask.
  EXPECT_EQ(traceDirectory("state", "/home/u"), "/home/u/.local/state/qdqm-update");
  EXPECT_EQ(traceDirectory("", "/home/u"), "/home/u/.local/state/qdqm-update");
#endif
  EXPECT_EQ(traceDirectory(nullptr, nullptr), "");
  EXPECT_EQ(traceDirectory(nullptr, "relative"), "");
#ifdef _WIN32
  EXPECT_EQ(windowsTraceDirectory("C:\\Users\\u\\AppData\\Local"),
            "C:\\Users\\u\\AppData\\Local\\qdqm-update");
#endif
  EXPECT_EQ(windowsTraceDirectory("AppData"), "");
  EXPECT_EQ(windowsTraceDirectory(""), "");
  EXPECT_EQ(windowsTraceDirectory(nullptr), "");
  // "trace-YYYYMMDD-HHMMSS.txt": digits where the date and the time go, in local time.
  const std::string name = traceFileName(1'700'000'000);
  ASSERT_EQ(name.size(), 25u) << name;
  EXPECT_TRUE(name.starts_with("trace-") && name.ends_with(".txt") && name[14] == '-') << name;
  for (size_t i : {6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 15u, 16u, 17u, 18u, 19u, 20u})
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(name[i]))) << name;
  EXPECT_NE(traceFileName(1'700'000'000), traceFileName(1'700'000'001));
  EXPECT_THAT(traceTitle("qdqm-update update --port 7", 0),
              "qdqm-update 3.19.0.7 frame trace of qdqm-update update --port 7, started "
              "1970-01-01 00:00:00 UTC");
}

// The dialog's menu entries: a new file in the state directory, named in a box; a file that cannot
// be made is an error box and no trace.
TEST(DialogTrace, StartNamesTheFileAndEndClosesIt) {
#ifdef _WIN32
  constexpr const char* kStateVariable = "LOCALAPPDATA";
#else
  constexpr const char* kStateVariable = "XDG_STATE_HOME";
#endif
  const std::filesystem::path state =
      std::filesystem::temp_directory_path() / ("qdqm-state-" + std::to_string(getpid()));
  std::filesystem::remove_all(state);
  const char* before = std::getenv(kStateVariable);
  const std::string saved = before ? before : "";
  setEnvironment(kStateVariable, state.string());

  VirtualClock clock;
  ScriptedHost host;
  FakeOpener opener{clock};
  opener.present[3] = {};
  UpdateDialog dlg(opener, clock, host, windowProcedures());
  ASSERT_EQ(dlg.selectPort(3), 1);
  startDialogTrace(dlg);
  ASSERT_NE(dlg.port.trace, nullptr);
  const std::string path = traceFile(dlg);
  EXPECT_EQ(std::filesystem::path(path).parent_path(), state / "qdqm-update");
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].caption, "Frame trace");
  EXPECT_EQ(host.boxes[0].text, "The frame trace is written to\n" + path);
  EXPECT_EQ(setBaudRate(dlg.port, 57600), 1);
  endDialogTrace(dlg);
  EXPECT_EQ(dlg.port.trace, nullptr);
  EXPECT_EQ(host.boxes.back().text, "The frame trace was written to\n" + path);
  std::stringstream content;
  content << std::ifstream(path).rdbuf();  // closed at once: Windows removes no open file
  EXPECT_THAT(content.str(), StartsWith("# qdqm-update 3.19.0.7 frame trace of the dialog"));
  // The line as it stood when the trace started, then the change.
  const std::vector<TraceLine> t = readTrace(content.str());
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].text, "port fake");
  EXPECT_EQ(t[1].baud, 57600u);

  // A second trace in the same second gets a name of its own.
  startDialogTrace(dlg);
  EXPECT_NE(traceFile(dlg), path);
  endDialogTrace(dlg);

  // A state directory that is a file: nothing can be made below it.
  std::filesystem::remove_all(state);
  std::ofstream(state.string()) << "x";
  startDialogTrace(dlg);
  EXPECT_EQ(dlg.port.trace, nullptr);
  EXPECT_EQ(host.boxes.back().caption, "Error message");
  EXPECT_THAT(host.boxes.back().text,
              StartsWith("Could not open the trace file\n" + (state / "qdqm-update").string()));
  std::filesystem::remove_all(state);
  if (before)
    setEnvironment(kStateVariable, saved);
  else
    unsetEnvironment(kStateVariable);
}

}  // namespace
}  // namespace qdqm

// Flow-test fixture of whole update runs: a program directory of the test's own, data files
// written into it, and the window model against a simulated module (tests/support/sim_window.h).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/update_dialog.h"
#include "sim/controller.h"
#include "sim/intel_hex.h"
#include "tests/support/sim_window.h"

namespace qdqm::testing {

// The verdicts of a stand-alone run.
constexpr const char* kSuccessText =
    "The module was sucessfully updated.\nPlease remove the connection\nto your PC. Also "
    "remove\nthe power supply from the module\nfor 10 seconds.";
constexpr const char* kFailureText =
    "Could not update the module !\nCorrect function of module is no longer guaranteed !\nTry "
    "again to update, or contact your local dealer !";

// A module profile at top speed 115200, software 1.05, 2.01 after a programming reset.
sim::Profile profile(std::string type, sim::Protocol p = sim::Protocol::Raw);

class UpdateFlow : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;

  void write(const std::string& name, const std::string& text);
  // A data file for `type` holding `image`; returns the image.
  sim::Image dataFile(const std::string& name, const std::string& type, uint32_t start,
                      uint32_t size, const std::string& fpga = ";", const std::string& mpeg = ";",
                      unsigned recordBytes = 16);

  struct Run : SimWindow {
    using SimWindow::SimWindow;
    // Connect and choose `entry` in the version list.
    void choose(const std::string& entry, bool lowSpeed);
    // Connect, choose `entry`, press Update.
    void update(const std::string& entry, bool lowSpeed = false);
    // What the update sent (after Connect).
    std::string sentByUpdate() { return sent().substr(sentBefore); }
    bool anyRecordSent() { return sentByUpdate().find(":10") != std::string::npos; }
    size_t sentBefore = 0;
  };

  std::filesystem::path dir;
};

// The window after the clean-up: idle, the line back at 19200 baud without parity.
void expectIdle(UpdateFlow::Run& r);

}  // namespace qdqm::testing

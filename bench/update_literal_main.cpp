// qdqm-update-literal: `qdqm-update update` with the literal serial cycle, the benchmark's
// reference. Takes the same arguments as `qdqm-update`, of which only `update` is built.
#include <iostream>
#include <string_view>
#include <vector>

#include "bench/literal_serial.h"
#include "cli/commands.h"
#include "link/clock.h"
#include "link/posix_serial.h"

int main(int argc, char** argv) {
  if (argc < 2 || std::string_view(argv[1]) != "update") {
    std::cerr << "usage: qdqm-update-literal update --port N [options of qdqm-update update]\n";
    return qdqm::cli::kUsageError;
  }
  qdqm::cli::Args args{std::vector<std::string_view>(argv + 2, argv + argc), std::cout, std::cerr};
  qdqm::SteadyClock clock;
  qdqm::PosixPortOpener posix;
  qdqm::bench::LiteralPortOpener opener(posix);
  return qdqm::cli::runUpdateCommand(args, opener, clock);
}

// The terminal sub-commands of qdqm-update: one table row per command, each in its own
// cmd_<name>.cpp. A command gets its arguments (after the command name) and the two streams.
#pragma once

#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qdqm {
class UpdateDialog;
class Clock;
class PortOpener;
}  // namespace qdqm

namespace qdqm::cli {

struct Args {
  std::vector<std::string_view> words;  // the arguments after the command's name
  std::ostream& out;
  std::ostream& err;
};

struct Command {
  std::string_view name;
  int (*run)(const Args& args);
  std::string_view usage;  // one line for the help text, after the program's name
};

// Exit status of a usage error.
constexpr int kUsageError = 64;

std::span<const Command> commands();
// A script that asked for --json gets its object also for a command line it got wrong: exit 64,
// nothing connected, `verdict` as given (`update` has one, `connect` none).
void writeUsageErrorJson(const Args& args, std::optional<std::string> verdict);
// A port number as the dialog offers them: "COM" 1 to 99.
bool parsePortNumber(std::string_view text, unsigned& port);
void printUsage(std::ostream& os);
// Connect ends without a message when the module's type directory holds no file (the dialog then
// simply offers no version); on the terminal that needs saying: which type, which directory.
void explainEmptyVersionList(const Args& args, std::string_view command, const UpdateDialog& dlg);

int cmdPorts(const Args& args);
int cmdConnect(const Args& args);
int cmdUpdate(const Args& args);

// `update` with the given port opener and clock (cmdUpdate passes the POSIX ports and the steady
// clock; the benchmark passes its own opener).
int runUpdateCommand(const Args& args, PortOpener& opener, Clock& clock);

}  // namespace qdqm::cli

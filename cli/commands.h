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

// A command's words read as options: "--name", "--name VALUE" or "--name=VALUE". The first thing
// found wrong is kept as the line that tells the user what it was.
class OptionReader {
 public:
  explicit OptionReader(std::span<const std::string_view> words) : words_(words) {}
  // Moves to the next option; false at the end of the words or after an error.
  bool next();
  // The option's name, "--" included.
  std::string_view name() const { return name_; }
  // The option's value; nullopt after noting that it has none.
  std::optional<std::string_view> value();
  // The option is a plain switch; false after noting a value given to it.
  bool plain();
  // Notes what was wrong (the first note counts).
  void fail(std::string text);
  void unknown() { fail("unknown option '" + std::string(word_) + "'"); }
  const std::string& error() const { return error_; }

 private:
  std::span<const std::string_view> words_;
  size_t at_ = 0;
  std::string_view word_, name_;
  std::optional<std::string_view> attached_;  // the part after "=" of "--name=VALUE"
  std::string error_;
};

// A usage error: its line ("qdqm-update COMMAND: WHAT"), then the command's usage text, on stderr;
// the JSON object when --json was asked for; exit status kUsageError.
int usageError(const Args& args, std::string_view command, std::string_view what,
               std::string_view help);

std::span<const Command> commands();
// A script that asked for --json gets its object also for a command line it got wrong: exit 64,
// nothing connected; `update` adds its verdict "none", result "not-started" and module_changed
// false.
void writeUsageErrorJson(const Args& args, std::string_view command);
// A port number as the dialog offers them: "COM" 1 to 99.
bool parsePortNumber(std::string_view text, unsigned& port);
// The usage error's line for a --port value that names no port.
std::string badPortText(std::string_view value);
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

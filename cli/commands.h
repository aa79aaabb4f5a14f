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

struct JsonMessage;

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
// A --port value: a COM number (7, or COM7 in any case) or the path of a device (/dev/ttyUSB0,
// /dev/serial/by-id/..., a pty; on Windows COM12 or \\.\COM12, which are numbers). False when it
// is neither; else `number` or `device` is set.
bool parsePortArgument(std::string_view text, unsigned& number, std::string& device);
// The usage error's line for a --port value that names no port.
std::string badPortText(std::string_view value);
// The number `device` is opened by: the one that already leads to it (the dialog's Com n), else
// the highest number no device is set for, which is given the device; 0 when the opener cannot
// take a device.
unsigned portNumberFor(const std::string& device, PortOpener& opener);
void printUsage(std::ostream& os);
// A port the command line chose: --port N (or COMn), or --port DEVICE.
struct PortChoice {
  unsigned number = 0;
  std::string device;
  // "COM5", or the device as given.
  std::string name() const;
};
// The command line's ports (one, or several for as many stations) and update folder.
struct PortChoices {
  std::vector<PortChoice> ports;
  std::string updateDir;  // --data-dir DIR
};
// Reads --port (one more port) and --data-dir; false when `r` stands at neither (or after noting
// what was wrong with the value).
bool readPortChoices(OptionReader& r, PortChoices& choices);
// The start of `connect` and `update`: the update folder chosen, then the port opened as the
// dialog opens the port a user picks. False when it did not open (the box has said why).
bool openChosenPort(const Args& args, std::string_view command, UpdateDialog& dlg,
                    const PortChoice& port, const std::string& updateDir);
// Connect can end without an update to offer: with "No update available !" when the module's type
// directory is missing, silently when it holds no file. On the terminal both name the folder
// searched and the type.
void explainNoUpdate(const Args& args, std::string_view command, const UpdateDialog& dlg,
                     const std::vector<JsonMessage>& shown);

int cmdPorts(const Args& args);
int cmdConnect(const Args& args);
int cmdUpdate(const Args& args);
int cmdHistory(const Args& args);

// `update` with the given port opener and clock (cmdUpdate passes the POSIX ports and the steady
// clock; the benchmark passes its own opener).
int runUpdateCommand(const Args& args, PortOpener& opener, Clock& clock);

}  // namespace qdqm::cli

// qdqm-update: the dialog without arguments, otherwise one terminal sub-command.
#include <iostream>
#include <string_view>
#include <vector>

#include "app/about.h"
#include "cli/commands.h"
#if defined(QDQM_HAVE_GUI)
#include "gui/run_dialog.h"
#elif defined(QDQM_HAVE_WIN32_DIALOG)
#include "wingui/run_dialog.h"
#endif

int main(int argc, char** argv) {
  using namespace qdqm::cli;
  if (argc < 2) {
#if defined(QDQM_HAVE_GUI)
    return qdqm::gui::runDialog(argc, argv);
#elif defined(QDQM_HAVE_WIN32_DIALOG)
    return qdqm::wingui::runDialog();
#else
    std::cerr << "qdqm-update: this build has no dialog; see qdqm-update --help\n";
    return 2;
#endif
  }
  const std::string_view name = argv[1];
  if (name == "--version") {
    std::cout << qdqm::about::kFileVersion << "\n";
    return 0;
  }
  if (name == "--help" || name == "-h") {
    printUsage(std::cout);
    return 0;
  }
  for (const Command& c : commands()) {
    if (c.name == name) {
      Args args{std::vector<std::string_view>(argv + 2, argv + argc), std::cout, std::cerr};
      return c.run(args);
    }
  }
  std::cerr << "qdqm-update: unknown command '" << name << "'\n";
  printUsage(std::cerr);
  return kUsageError;
}

#include "cli/trace_option.h"

#include <cstring>
#include <ctime>
#include <ostream>

#include "app/trace.h"

namespace qdqm::cli {

bool attachTraceFile(const Args& args, std::string_view command, const std::string& file,
                     UpdateDialog& dlg) {
  std::string what = "qdqm-update ";
  what += command;
  for (std::string_view w : args.words) {
    what += ' ';
    what += w;
  }
  int error = 0;
  if (startTrace(dlg, file, traceTitle(what, std::time(nullptr)), error)) return true;
  args.err << "qdqm-update " << command << ": cannot open trace file " << file << ": "
           << std::strerror(error) << "\n";
  return false;
}

void reportTraceFile(const Args& args, std::string_view command, UpdateDialog& dlg) {
  if (!dlg.port.trace) return;
  dlg.port.trace->flush();
  if (dlg.port.trace->error() == 0) return;
  args.err << "qdqm-update " << command << ": writing trace file " << dlg.port.trace->where()
           << " failed (" << std::strerror(dlg.port.trace->error())
           << "); the trace ends where that happened\n";
}

}  // namespace qdqm::cli

// The "&Update" button: one update run of the connected module. The controller flash comes first,
// then at most one FPGA stage and one further coprocessor stage chosen from the stage table by the
// module type and the data file's header lines; then the verdict, the "another" question and the
// clean-up that leaves the line at 19200 baud without parity.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "app/update_dialog.h"

namespace qdqm {

// How a stage ends: done (go on), failed (overallResult is 0, the run goes on to its next
// decision), abort (the stage has said why; straight to the clean-up, no verdict).
enum class Outcome { Done, Failed, Abort };

// The question after the verdict; "%s" is typeText. No ends the program as Exit does.
constexpr std::string_view kUpdateAnotherText = "Do you wish to update another %s ?";

}  // namespace qdqm

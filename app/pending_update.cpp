// The "&Update" button. The update driver (controller flash, coprocessor stages, slot modules) is
// not part of this build yet: until it is, a click runs a procedure that shows nothing and changes
// nothing, so no half-finished update can touch a module.
#include "app/procedures.h"

namespace qdqm {

void onUpdate(UpdateDialog&) {}

}  // namespace qdqm

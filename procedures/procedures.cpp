#include "procedures/procedures.h"

namespace qdqm {

const Procedures& windowProcedures() {
  static constexpr Procedures kProcedures{onConnect, onUpdate};
  return kProcedures;
}

}  // namespace qdqm

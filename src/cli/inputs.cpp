// The list of inputs beyond the data file.
#include "cli/inputs.h"

namespace tarnek {

// None yet: every run reads its data file alone.
const std::vector<InputKind> kInputKinds = {};

}  // namespace tarnek

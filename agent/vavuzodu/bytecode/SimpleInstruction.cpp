#include "bytecode/SimpleInstruction.h"

namespace Tessera {

const char *const SimpleInstruction::CLASS_NAME = "SimpleInstruction";

} // namespace Tessera

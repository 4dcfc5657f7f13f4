// Runs of read-only discrete inputs: the same packing and rules as coils.
#pragma once

#include "models/coil/model.hpp"

namespace tessaly::core {

struct DiscreteInputTag {};
using DiscreteInputs = BitRun<DiscreteInputTag>;

}  // namespace tessaly::core

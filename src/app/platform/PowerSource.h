#pragma once

#include "base/Mac.h"

namespace quorvane {

// Whether the watched Mac runs on an internal battery: a power supply under
// "/sys/class/power_supply" whose type is "Battery".
bool hasInternalBattery(const Mac& mac);

} // namespace quorvane

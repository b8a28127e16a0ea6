#pragma once

#include "base/Date.h"

#include <functional>

namespace quorvane {

// Where the model takes the time from; tests drive it by hand.
using Clock = std::function<Date()>;

} // namespace quorvane

#include "timemachine/TimeMachineLog.h"

#include "timemachine/TimeMachineSettings.h"

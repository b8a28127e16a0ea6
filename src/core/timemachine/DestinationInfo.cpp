#include "timemachine/DestinationInfo.h"

#include "timemachine/Reasons.h"

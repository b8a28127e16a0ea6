#include "timemachine/StatusText.h"

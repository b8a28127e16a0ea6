#include "health/Days.h"

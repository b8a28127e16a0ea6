#include "othertools/SafeRead.h"

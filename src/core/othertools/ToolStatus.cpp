#include "othertools/ToolStatus.h"

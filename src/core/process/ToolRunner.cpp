#include "process/ToolRunner.h"

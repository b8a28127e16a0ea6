#include "health/Issue.h"

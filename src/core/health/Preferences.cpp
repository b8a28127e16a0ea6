#include "health/Preferences.h"

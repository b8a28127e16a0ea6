#include "history/History.h"

#include "othertools/OtherTools.h"

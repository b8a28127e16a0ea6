#include "history/JSONFileStore.h"

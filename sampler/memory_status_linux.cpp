#include "memory_status.h"

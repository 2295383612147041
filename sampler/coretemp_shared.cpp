#include "coretemp_shared.h"

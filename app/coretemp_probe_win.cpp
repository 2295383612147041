#include "coretemp.h"

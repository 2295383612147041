#include "coretemp_launch.h"

#include "coretemp_proxy.h"

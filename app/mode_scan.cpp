#include "mode_scan.h"

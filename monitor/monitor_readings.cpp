#include "monitor_readings.h"

#include "system_volume.h"

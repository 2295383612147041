#include "hardware_data_obj.h"

#include "grab_pc_data.h"

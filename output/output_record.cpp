#include "output_record.h"

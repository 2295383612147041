#include "city_lookup.h"

#include "http_get.h"

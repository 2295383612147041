#include "weather_client.h"

#include "coretemp_launch.h"

std::string launchFailureMessage(unsigned long error)
{
    return "Failed to start CoreTemp: " + std::to_string(error);
}

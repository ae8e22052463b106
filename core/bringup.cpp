#include "core/bringup.h"

int RunGateway(const ConfigStore&) { return 0; }

#include "app/update_host.h"

const char launcher_update_host[] = VARNHOLT_UPDATE_HOST;

#include "app/update_host.h"

const char launcher_update_host[] = VARNHOLT_UPDATE_HOST;
const update_server_settings launcher_update_server = {VARNHOLT_UPDATE_PORT, VARNHOLT_UPDATE_TLS,
                                                       VARNHOLT_UPDATE_CA_FILE, VARNHOLT_UPDATE_KEYS};

# One target per input the launcher takes from outside. scripts/fuzz runs every target listed here.
varnholt_add_fuzz(http_response_fuzz varnholt_http)
varnholt_add_fuzz(remote_manifest_fuzz varnholt_updater)
varnholt_add_fuzz(manifest_line_fuzz varnholt_updater)
varnholt_add_fuzz(manifest_file_fuzz varnholt_updater)
varnholt_add_fuzz(xml_reader_fuzz varnholt_support)
varnholt_add_fuzz(settings_file_fuzz varnholt_support
  ${PROJECT_SOURCE_DIR}/app/launcher_config.cpp ${PROJECT_SOURCE_DIR}/app/launcher_state.cpp)
varnholt_add_fuzz(argument_text_fuzz varnholt_support ${PROJECT_SOURCE_DIR}/app/argument_text.cpp)

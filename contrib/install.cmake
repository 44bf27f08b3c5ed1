# Install step for the sample configuration and the systemd unit, run by `cmake --install` (and
# by CPack) with the prefix of that run, so that the unit's ExecStart names the installed paths.
# The top-level CMakeLists.txt sets QUILLGATE_SOURCE_DIR, QUILLGATE_BINARY_DIR, QUILLGATE_SBINDIR
# and QUILLGATE_UNIT_DIR before including it.

# As GNUInstallDirs does: the prefix /usr keeps its configuration in /etc.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(quillgate_conf_dir "/etc/quillgate")
else()
  set(quillgate_conf_dir "${CMAKE_INSTALL_PREFIX}/etc/quillgate")
endif()
set(QUILLGATE_BINARY "${CMAKE_INSTALL_PREFIX}/${QUILLGATE_SBINDIR}/quillgate")
set(QUILLGATE_CONFIG "${quillgate_conf_dir}/quillgate.conf")

# An administrator's configuration from an earlier install stays as it is.
if(EXISTS "$ENV{DESTDIR}${QUILLGATE_CONFIG}")
  message(STATUS "Kept: $ENV{DESTDIR}${QUILLGATE_CONFIG} (the sample is "
                 "${QUILLGATE_SOURCE_DIR}/contrib/quillgate.conf)")
else()
  file(INSTALL DESTINATION "${quillgate_conf_dir}" TYPE FILE
       FILES "${QUILLGATE_SOURCE_DIR}/contrib/quillgate.conf")
endif()

configure_file("${QUILLGATE_SOURCE_DIR}/contrib/quillgate.service.in"
               "${QUILLGATE_BINARY_DIR}/contrib/quillgate.service" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${QUILLGATE_UNIT_DIR}" TYPE FILE
     FILES "${QUILLGATE_BINARY_DIR}/contrib/quillgate.service")

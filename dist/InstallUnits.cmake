# Runs at install time (cmake --install), where CMAKE_INSTALL_PREFIX is the
# prefix of this install. Fills the installed paths into the units and the
# entitlement entry and installs them:
#   units               systemd's systemdsystemunitdir for the prefix
#   entitlement entry   /etc/nimbrad/entitlements.d, where the daemon reads its
#                       configuration: systemd sets CONFIGURATION_DIRECTORY to
#                       /etc/<ConfigurationDirectory=> whatever the prefix.
# Expects NIMBRA_DIST_DIR, NIMBRA_STAGING_DIR, NIMBRA_BINDIR, NIMBRA_SYSTEMD_UNIT_DIR
# and NIMBRA_PKG_CONFIG to be set by the caller.

cmake_path(ABSOLUTE_PATH NIMBRA_BINDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE
           OUTPUT_VARIABLE CMAKE_INSTALL_FULL_BINDIR)

set(unitDir "${NIMBRA_SYSTEMD_UNIT_DIR}")
if(NOT unitDir AND NIMBRA_PKG_CONFIG)
  # systemd's own prefix keeps its unit directory as it is (/lib/systemd/system
  # on Debian 12); another prefix gets the same layout below itself
  # (/usr/local/lib/systemd/system), which systemd also searches.
  execute_process(COMMAND "${NIMBRA_PKG_CONFIG}" --variable=prefix systemd
                  OUTPUT_VARIABLE systemdPrefix OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  set(redefine)
  if(NOT failed AND NOT systemdPrefix STREQUAL CMAKE_INSTALL_PREFIX)
    foreach(variable prefix rootprefix root_prefix)
      list(APPEND redefine "--define-variable=${variable}=${CMAKE_INSTALL_PREFIX}")
    endforeach()
  endif()
  if(NOT failed)
    execute_process(COMMAND "${NIMBRA_PKG_CONFIG}" ${redefine} --variable=systemdsystemunitdir systemd
                    OUTPUT_VARIABLE unitDir OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
endif()
if(NOT unitDir)
  set(unitDir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()

# One staging folder per destination, so that installs to several prefixes may
# run at once.
string(MD5 staging "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staging "${NIMBRA_STAGING_DIR}/${staging}")
file(GLOB sockets "${NIMBRA_DIST_DIR}/*.socket")
configure_file("${NIMBRA_DIST_DIR}/nimbrad.service.in" "${staging}/nimbrad.service" @ONLY)
configure_file("${NIMBRA_DIST_DIR}/entitlements.d/nimbractl.plist.in" "${staging}/nimbractl.plist" @ONLY)
file(INSTALL "${staging}/nimbrad.service" ${sockets} DESTINATION "${unitDir}")
file(INSTALL "${staging}/nimbractl.plist" DESTINATION "/etc/nimbrad/entitlements.d")

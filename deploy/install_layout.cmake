# Run by `cmake --install` (and so by cpack) after the host and the module
# are in place: the files whose folders lie outside the prefix in the Debian
# layout. With the prefix /usr they go to /etc and /lib/systemd/system;
# with any other prefix they stay under it. DESTDIR is honoured throughout.
#
# Set by the caller: PENDRAKEL_DEPLOY_DIR (this folder in the source tree),
# PENDRAKEL_UNIT_FILE (the unit made from systemd/pendrakel.service.in is
# written there), PENDRAKEL_MODULE_INSTALL_DIR (relative to the prefix).

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(etc_dir "/etc")
  set(unit_dir "/lib/systemd/system")
else()
  set(etc_dir "${CMAKE_INSTALL_PREFIX}/etc")
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()

file(INSTALL DESTINATION "${etc_dir}/pendrakel" TYPE FILE
     FILES "${PENDRAKEL_DEPLOY_DIR}/Pendrakel.setting")
file(INSTALL DESTINATION "${etc_dir}/default" TYPE FILE
     RENAME pendrakel FILES "${PENDRAKEL_DEPLOY_DIR}/pendrakel.default")

set(PENDRAKEL_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")
configure_file("${PENDRAKEL_DEPLOY_DIR}/systemd/pendrakel.service.in"
               "${PENDRAKEL_UNIT_FILE}" @ONLY)
file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${PENDRAKEL_UNIT_FILE}")

# The module reads Pendrakel.setting from its own folder: point it at the
# file under etc, which the package marks as a conffile.
set(link "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${PENDRAKEL_MODULE_INSTALL_DIR}/Pendrakel.setting")
message(STATUS "Installing: ${link}")
file(CREATE_LINK "${etc_dir}/pendrakel/Pendrakel.setting" "${link}" SYMBOLIC)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")

# cmake --install: the programs in bin; the platform library and the LDV library in a private
# folder that the programs find through a relative run path, so that the tree runs wherever it
# is installed (and moved); the systemd units (stunnel's too) and user; the Wireshark dissector
# of the capture port; the manual pages; and
# the example files under /etc/veltrabox, where the server looks whatever the prefix, never replacing
# files that are there.
include(GNUInstallDirs)

set(VELTRABOX_PRIVATE_LIBDIR "lib/veltrabox" CACHE STRING
    "Folder of the platform and LDV libraries, relative to the prefix")
set(VELTRABOX_SYSTEMD_DIR "lib/systemd/system" CACHE STRING
    "Folder of the unit files, relative to the prefix")
set(VELTRABOX_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING
    "Folder of the system user's definition, relative to the prefix")
# Where Wireshark looks for global Lua plugins: its libdir's wireshark/plugins.
set(VELTRABOX_WIRESHARK_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins" CACHE STRING
    "Folder of Wireshark's global Lua plugins, relative to the prefix")
set(VELTRABOX_CONFIG_DIR "/etc/veltrabox")

file(RELATIVE_PATH private_from_bin "/${CMAKE_INSTALL_BINDIR}" "/${VELTRABOX_PRIVATE_LIBDIR}")
target_compile_definitions(veltraplat PRIVATE
  VELTRABOX_PRIVATE_LIBRARIES="${private_from_bin}")
set_target_properties(veltrabox PROPERTIES INSTALL_RPATH "$ORIGIN/${private_from_bin}")
set_target_properties(veltraplat ldv_vni PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS veltrabox veltraclient RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS veltraplat ldv_vni LIBRARY DESTINATION ${VELTRABOX_PRIVATE_LIBDIR}
        NAMELINK_SKIP)

# The units name the program by its installed path, which the prefix of `cmake --install`
# decides: that part is filled in when installing.
set(VELTRABOX_BIN_DIR "@VELTRABOX_BIN_DIR@")
set(VELTRABOX_UNIT_TITLE "")
set(VELTRABOX_UNIT_ENVIRONMENT "EnvironmentFile=-${VELTRABOX_CONFIG_DIR}/veltrabox.conf")
configure_file(systemd/veltrabox.service.in systemd/veltrabox.service @ONLY)
set(VELTRABOX_UNIT_TITLE " (%i)")
set(VELTRABOX_UNIT_ENVIRONMENT "EnvironmentFile=${VELTRABOX_CONFIG_DIR}/%i.conf
Environment=VELTRABOX_STATUS_SOCKET=/run/veltrabox/%i.sock")
configure_file(systemd/veltrabox.service.in systemd/veltrabox@.service @ONLY)
foreach(unit veltrabox.service veltrabox@.service)
  install(CODE "
    set(VELTRABOX_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${CMAKE_BINARY_DIR}/systemd/${unit}\"
                   \"${CMAKE_BINARY_DIR}/systemd/installed/${unit}\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/systemd/installed/${unit}\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${VELTRABOX_SYSTEMD_DIR}\")")
endforeach()
# stunnel's TLS in front of an instance: left for the admin to set up and enable.
install(FILES systemd/veltrabox-tls.service DESTINATION ${VELTRABOX_SYSTEMD_DIR})
install(FILES systemd/veltrabox.sysusers DESTINATION ${VELTRABOX_SYSUSERS_DIR}
        RENAME veltrabox.conf)

install(FILES dissector/veltrabox.lua DESTINATION ${VELTRABOX_WIRESHARK_PLUGIN_DIR})

install(FILES man/veltrabox.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/veltrabox.reg.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
install(FILES man/veltraclient.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Absolute on purpose: the server's default registry path does not follow the prefix.
foreach(example registry.reg veltrabox.conf stunnel.conf)
  install(CODE "
    set(target \"\$ENV{DESTDIR}${VELTRABOX_CONFIG_DIR}/${example}\")
    if(EXISTS \"\${target}\")
      message(STATUS \"Kept: \${target}\")
    else()
      # file(INSTALL) puts DESTDIR in front of the destination itself.
      file(INSTALL \"${CMAKE_SOURCE_DIR}/config/${example}\"
           DESTINATION \"${VELTRABOX_CONFIG_DIR}\")
    endif()")
endforeach()

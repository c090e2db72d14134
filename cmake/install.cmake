# Installation in the GNU layout and the Debian package (cpack -G DEB).
# Only the product is installed; tests, benchmarks and the tools for a run
# without hardware (decoder simulator, mkfirmware) stay in the build tree.

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(KZ_APP_ID de.karven.KarvenZop)
set(kz_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(kz_generated ${CMAKE_BINARY_DIR}/packaging)

# Debian wants manual pages and changelogs compressed, without a timestamp.
configure_file(${kz_packaging}/KarvenZop.1.in ${kz_generated}/KarvenZop.1 @ONLY)
set(kz_compressed)
foreach(pair "${kz_generated}/KarvenZop.1|KarvenZop.1.gz" "${PROJECT_SOURCE_DIR}/src/cli/karvenzop-cli.1|karvenzop-cli.1.gz"
    "${kz_packaging}/changelog|changelog.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 input)
  list(GET pair 1 output)
  add_custom_command(OUTPUT ${kz_generated}/${output}
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${input} ${kz_generated}/${output}
    DEPENDS ${input}
    VERBATIM)
  list(APPEND kz_compressed ${kz_generated}/${output})
endforeach()
add_custom_target(kz_package_docs ALL DEPENDS ${kz_compressed})

if(TARGET KarvenZop)
  install(TARGETS KarvenZop RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${kz_packaging}/${KZ_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${kz_packaging}/${KZ_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(DIRECTORY ${kz_packaging}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
  install(FILES ${kz_generated}/KarvenZop.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET karvenzop-cli)
  install(TARGETS karvenzop-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${kz_generated}/karvenzop-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # A station as a service: the template unit, its user, an example of its settings.
  set(KZ_INSTALLED_CLI ${CMAKE_INSTALL_FULL_BINDIR}/karvenzop-cli)
  configure_file(${kz_packaging}/karvenzop-monitor@.service.in ${kz_generated}/karvenzop-monitor@.service @ONLY)
  install(FILES ${kz_generated}/karvenzop-monitor@.service DESTINATION lib/systemd/system)
  install(FILES ${kz_packaging}/karvenzop.sysusers DESTINATION lib/sysusers.d RENAME karvenzop.conf)
  install(FILES ${kz_packaging}/monitor.conf.example DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/karvenzop/examples)
  install(FILES ${kz_packaging}/mosquitto/karvenzop.conf ${kz_packaging}/mosquitto/karvenzop.acl
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/karvenzop/examples/mosquitto)
  # The centre's board as a service, with its settings and a proxy in front.
  if(NOT WIN32)
    configure_file(${kz_packaging}/karvenzop-board.service.in ${kz_generated}/karvenzop-board.service @ONLY)
    install(FILES ${kz_generated}/karvenzop-board.service DESTINATION lib/systemd/system)
    install(FILES ${kz_packaging}/board.conf.example ${kz_packaging}/board-nginx.conf.example
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/karvenzop/examples)
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${kz_packaging}/postinst ${kz_packaging}/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
install(TARGETS kz_bootloader LIBRARY DESTINATION ${KZ_INSTALL_BOOTLOADER_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(DIRECTORY ${KZ_PRODUCT_DIR}/locale/ DESTINATION ${KZ_INSTALL_CATALOGUE_DIR})
if(KZ_SHIPPED_KEYS)
  install(FILES ${KZ_SHIPPED_KEYS} DESTINATION ${KZ_INSTALL_KEY_DIR})
endif()
install(FILES ${kz_packaging}/copyright ${kz_generated}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/karvenzop)
install(FILES ${kz_packaging}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME karvenzop)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME karvenzop)
set(CPACK_PACKAGE_VENDOR "KarvenZop developers")
set(CPACK_PACKAGE_CONTACT "KarvenZop developers <${KZ_BUG_REPORT}>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service tool for the KARVEN radio-status decoder")
set(CPACK_PACKAGE_DESCRIPTION
  "KarvenZop connects to a KARVEN radio-status decoder on a serial port, reads
its serial number, firmware version and hardware revision, sets its clock,
reads its tone-call table and shows the telegrams it reports. It keeps a
substitution list of vehicle designations, checks an update server for new
versions and flashes new decoder firmware through its bootloader library.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from the binaries; the platform plugins and
# the window's font are loaded at run time, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation")
include(CPack)

# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_GENERATOR STREQUAL "ZIP")
  # One folder KarvenZop-<version> inside KarvenZop-<version>-win64.zip, so
  # unpacking does not scatter the files into the folder it happens in.
  set(CPACK_PACKAGING_INSTALL_PREFIX "/KarvenZop-${CPACK_PACKAGE_VERSION}")
endif()

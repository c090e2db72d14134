# Windows build (cross-built with mingw-w64, tests under wine).

# GoogleTest from the sources Debian ships, built for the target; on a
# Windows machine without them, an installed GoogleTest.
set(KZ_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(EXISTS ${KZ_GOOGLETEST_SOURCE}/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KZ_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(lib gtest gtest_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
else()
  message(STATUS "No GoogleTest sources at '${KZ_GOOGLETEST_SOURCE}': the tests use an installed GoogleTest")
endif()

set(KZ_BENCH OFF CACHE BOOL "" FORCE)

# <windows.h> without its macro renames of ordinary names (SetPort, min, max).
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
# localtime_r and friends, as mingw-w64 offers them.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS)

# A cross-build needs the Qt for mingw-w64; without it only the core is
# built. On Windows itself find_package finds the installed Qt.
if(KZ_GUI AND CMAKE_CROSSCOMPILING)
  if(KZ_QT_MINGW_DIR AND EXISTS ${KZ_QT_MINGW_DIR}/lib/cmake/Qt6/Qt6Config.cmake)
    list(APPEND CMAKE_PREFIX_PATH ${KZ_QT_MINGW_DIR})
    set(Qt6_DIR ${KZ_QT_MINGW_DIR}/lib/cmake/Qt6)
    # moc, rcc and uic come from the build machine's Qt of the same version.
    set(QT_HOST_PATH /usr CACHE PATH "")
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")
    # The toolkit's libraries and plugins beside the programs, as in the ZIP.
    set(KZ_QT_DLLS Qt6Core Qt6Gui Qt6Widgets Qt6Test)
    foreach(dll ${KZ_QT_DLLS})
      file(COPY ${KZ_QT_MINGW_DIR}/bin/${dll}.dll DESTINATION ${CMAKE_BINARY_DIR}/bin)
    endforeach()
    file(COPY ${KZ_QT_MINGW_DIR}/plugins/platforms/qwindows.dll ${KZ_QT_MINGW_DIR}/plugins/platforms/qoffscreen.dll
         DESTINATION ${CMAKE_BINARY_DIR}/bin/platforms)
    file(COPY ${KZ_QT_MINGW_DIR}/plugins/styles/qwindowsvistastyle.dll DESTINATION ${CMAKE_BINARY_DIR}/bin/styles)
    # The toolkit's own German texts (file dialogs), from Debian's
    # qt6-translations-l10n: the Qt for mingw-w64 carries none.
    set(KZ_QTBASE_DE_QM /usr/share/qt6/translations/qtbase_de.qm)
    if(EXISTS ${KZ_QTBASE_DE_QM})
      file(COPY ${KZ_QTBASE_DE_QM} DESTINATION ${CMAKE_BINARY_DIR}/bin/translations)
    else()
      message(WARNING "No ${KZ_QTBASE_DE_QM} (package qt6-translations-l10n): file dialogs will read English")
      unset(KZ_QTBASE_DE_QM)
    endif()
  else()
    message(STATUS "No Qt for mingw-w64 at '${KZ_QT_MINGW_DIR}': the window is not built, only the core")
    set(KZ_GUI OFF)
  endif()
endif()

# The compiler runtime goes beside the programs, so they start from bin/
# under wine and from the ZIP on Windows.
get_filename_component(kz_gcc_dir ${CMAKE_CXX_COMPILER} DIRECTORY)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
  OUTPUT_VARIABLE kz_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_s_seh-1.dll
  OUTPUT_VARIABLE kz_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
find_file(KZ_WINPTHREAD_DLL libwinpthread-1.dll PATHS /usr/x86_64-w64-mingw32/lib ${kz_gcc_dir} NO_DEFAULT_PATH)
set(KZ_RUNTIME_DLLS ${kz_libstdcxx} ${kz_libgcc} ${KZ_WINPTHREAD_DLL})
file(COPY ${KZ_RUNTIME_DLLS} DESTINATION ${CMAKE_BINARY_DIR}/bin)

# The installer (cpack -G NSIS): German texts only, a Start-menu shortcut
# that starts the tool in the user's own folder (--menu-start: %APPDATA%\KarvenZop,
# as "Program Files" is not writable), an uninstaller. CPack's own NSIS
# template is used with German as its one language, built for amd64.
function(kz_nsis_settings)
  set(template ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in)
  if(NOT EXISTS ${template})
    message(WARNING "No CPack NSIS template at ${template}: the installer keeps CPack's defaults")
    return()
  endif()
  file(READ ${template} text)
  string(REGEX REPLACE "!insertmacro MUI_LANGUAGE \"[A-Za-z]+\"[^\n]*\n" "" text "${text}")
  string(REPLACE ";Reserve Files" "!insertmacro MUI_LANGUAGE \"German\"\n;Reserve Files" text "${text}")
  # A 64-bit installer, as the program is: it also runs where 32-bit
  # programs cannot (a wine without its 32-bit part).
  string(REPLACE "  ;Name and file\n" "  Target amd64-unicode\n  ;Name and file\n" text "${text}")
  # No licence has been granted (packaging/copyright): no licence page to
  # accept. No PATH or desktop-icon options either: the options page would
  # be CPack's English one.
  string(REPLACE "@CPACK_NSIS_LICENSE_PAGE@" "" text "${text}")
  string(REPLACE "  Page custom InstallOptionsPage\n" "" text "${text}")
  # The template's own English words, in German.
  string(REPLACE "\\Uninstall.lnk\"" "\\Deinstallieren.lnk\"" text "${text}")
  string(REPLACE "@CPACK_NSIS_PACKAGE_NAME@ is already installed. $\\n$\\nDo you want to uninstall the old version before installing the new one?"
                 "@CPACK_NSIS_PACKAGE_NAME@ ist bereits installiert. $\\n$\\nSoll die alte Version vor der Installation der neuen entfernt werden?"
                 text "${text}")
  string(REPLACE "\"Uninstall failed.\"" "\"Deinstallation fehlgeschlagen.\"" text "${text}")
  foreach(english "is already installed" "Uninstall.lnk" "InstallOptionsPage\n  !insertmacro MUI_PAGE_DIRECTORY"
                  "Uninstall failed")
    string(FIND "${text}" "${english}" at)
    if(NOT at EQUAL -1)
      message(WARNING "The CPack NSIS template still has \"${english}\": the installer shows English there")
    endif()
  endforeach()
  file(WRITE ${CMAKE_BINARY_DIR}/nsis/NSIS.template.in "${text}")
  set(CMAKE_MODULE_PATH ${CMAKE_BINARY_DIR}/nsis ${CMAKE_MODULE_PATH} PARENT_SCOPE)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY KarvenZop PARENT_SCOPE)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY KarvenZop PARENT_SCOPE)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64" PARENT_SCOPE)
  set(CPACK_NSIS_DISPLAY_NAME "KarvenZop ${PROJECT_VERSION}" PARENT_SCOPE)
  set(CPACK_NSIS_PACKAGE_NAME KarvenZop PARENT_SCOPE)   # also the Start-menu folder
  set(CPACK_NSIS_INSTALLED_ICON_NAME KarvenZop.exe PARENT_SCOPE)
  set(CPACK_NSIS_UNINSTALL_NAME Deinstallieren PARENT_SCOPE)
  set(CPACK_COMPONENT_KZ_WINDOWS_DISPLAY_NAME "KarvenZop (Programm)" PARENT_SCOPE)
  set(CPACK_COMPONENT_KZ_WINDOWS_DESCRIPTION
      "Das Service-Programm, die Kommandozeile karvenzop-cli und die Bootloader-Bibliothek" PARENT_SCOPE)
  set(CPACK_COMPONENT_KZ_WINDOWS_REQUIRED ON PARENT_SCOPE)
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/packaging/windows/KarvenZop.ico PARENT_SCOPE)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/packaging/windows/KarvenZop.ico PARENT_SCOPE)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Service-Programm für den KARVEN Statusdekoder" PARENT_SCOPE)
  set(CPACK_NSIS_CREATE_ICONS_EXTRA
      "  CreateShortCut \"$SMPROGRAMS\\$STARTMENU_FOLDER\\KarvenZop.lnk\" \"$INSTDIR\\KarvenZop.exe\" \"--menu-start\""
      PARENT_SCOPE)
  set(CPACK_NSIS_DELETE_ICONS_EXTRA "  Delete \"$SMPROGRAMS\\$MUI_TEMP\\KarvenZop.lnk\"" PARENT_SCOPE)
endfunction()

# The programs' icon and version, as Explorer shows them (windres).
enable_language(RC)
function(kz_windows_resources target description)
  set(KZ_RC_NAME ${target})
  set(KZ_RC_FILE ${target}.exe)
  set(KZ_RC_DESCRIPTION ${description})
  set(KZ_RC_ICON ${PROJECT_SOURCE_DIR}/packaging/windows/KarvenZop.ico)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.rc.in ${CMAKE_BINARY_DIR}/rc/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/rc/${target}.rc)
endfunction()

# The ZIP (cpack -G ZIP): the program with everything it loads, in one folder.
function(kz_windows_package)
  if(TARGET karvenzop-cli)
    kz_windows_resources(karvenzop-cli "KarvenZop Kommandozeile für den KARVEN Statusdekoder")
  endif()
  if(NOT TARGET KarvenZop)
    return()
  endif()
  kz_windows_resources(KarvenZop "Service-Programm für den KARVEN Statusdekoder")
  install(TARGETS KarvenZop kz_bootloader RUNTIME DESTINATION . COMPONENT kz_windows)
  if(TARGET karvenzop-cli)
    install(TARGETS karvenzop-cli RUNTIME DESTINATION . COMPONENT kz_windows)
  endif()
  install(FILES ${KZ_RUNTIME_DLLS} DESTINATION . COMPONENT kz_windows)
  if(KZ_MOSQUITTO_MINGW_DIR)
    install(FILES ${KZ_MOSQUITTO_MINGW_DIR}/bin/libmosquitto.dll DESTINATION . COMPONENT kz_windows)
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/bin/locale/de/LC_MESSAGES/default.mo
          DESTINATION locale/de/LC_MESSAGES COMPONENT kz_windows)
  if(KZ_SHIPPED_KEYS)
    install(FILES ${KZ_SHIPPED_KEYS} DESTINATION keys COMPONENT kz_windows)
  endif()
  # On Windows itself windeployqt adds the toolkit (see the README).
  if(NOT KZ_QT_MINGW_DIR)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME KarvenZop-${PROJECT_VERSION}-win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    include(CPack)
    return()
  endif()
  foreach(dll Qt6Core Qt6Gui Qt6Widgets)
    install(FILES ${KZ_QT_MINGW_DIR}/bin/${dll}.dll DESTINATION . COMPONENT kz_windows)
  endforeach()
  install(FILES ${KZ_QT_MINGW_DIR}/plugins/platforms/qwindows.dll ${KZ_QT_MINGW_DIR}/plugins/platforms/qoffscreen.dll
          DESTINATION platforms COMPONENT kz_windows)
  install(FILES ${KZ_QT_MINGW_DIR}/plugins/styles/qwindowsvistastyle.dll DESTINATION styles COMPONENT kz_windows)
  if(KZ_QTBASE_DE_QM)
    install(FILES ${KZ_QTBASE_DE_QM} DESTINATION translations COMPONENT kz_windows)
  endif()
  # cpack -G ZIP (default) or -G NSIS (Debian's nsis): KarvenZop-<version>-win64.zip
  # and .exe; the ZIP unpacks into one folder KarvenZop-<version> (kz_cpack_options.cmake).
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME KarvenZop)
  set(CPACK_PACKAGE_VENDOR KARVEN)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME KarvenZop-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_COMPONENTS_ALL kz_windows)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_VERBATIM_VARIABLES ON)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/kz_cpack_options.cmake)
  kz_nsis_settings()
  include(CPack)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kz_windows_package)

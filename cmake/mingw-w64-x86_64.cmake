# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threads:
# std::thread and std::mutex need them).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The Qt for mingw-w64 lives outside the system root; look there too.
set(KZ_QT_MINGW_DIR "" CACHE PATH "Folder of the unpacked Qt for mingw-w64 (qt6-mingw)")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KZ_QT_MINGW_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine on the build machine.
find_program(KZ_WINE NAMES wine wine64)
if(KZ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KZ_WINE})
endif()

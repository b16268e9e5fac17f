# Cross-builds the updater for 64-bit Windows on Debian with MinGW-w64, against a static prefix of
# Qt 6.4.2, libzip and libsodium made for it (scripts/windows-deps.sh makes one; scripts/windows.sh
# finds or makes one). The prefix comes from -DKESTRELIX_MINGW_PREFIX=..., else from the variable
# of that name in the environment, else /opt/qt6-mingw.
#
# The compilers are Debian's posix-thread ones: std::thread and std::mutex need them, and the
# prefix was built with them. The rest of the cross setup (where the prefix's packages are found,
# the host tools moc, uic, rcc and lrelease from Debian's Linux Qt of the same version) is Qt's own
# toolchain file in the prefix. Test programs run through Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT KESTRELIX_MINGW_PREFIX)
    if(DEFINED ENV{KESTRELIX_MINGW_PREFIX} AND NOT "$ENV{KESTRELIX_MINGW_PREFIX}" STREQUAL "")
        set(KESTRELIX_MINGW_PREFIX "$ENV{KESTRELIX_MINGW_PREFIX}")
    else()
        set(KESTRELIX_MINGW_PREFIX /opt/qt6-mingw)
    endif()
endif()
set(KESTRELIX_MINGW_PREFIX "${KESTRELIX_MINGW_PREFIX}" CACHE PATH
    "Static Qt, libzip and libsodium prefix for MinGW-w64")
# try_compile projects read this file again and must find the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRELIX_MINGW_PREFIX)

set(_kestrelix_qt_toolchain "${KESTRELIX_MINGW_PREFIX}/lib/cmake/Qt6/qt.toolchain.cmake")
if(NOT EXISTS "${_kestrelix_qt_toolchain}")
    message(FATAL_ERROR "No MinGW-w64 prefix at ${KESTRELIX_MINGW_PREFIX} (no "
        "lib/cmake/Qt6/qt.toolchain.cmake): make one with scripts/windows-deps.sh, or name one "
        "with KESTRELIX_MINGW_PREFIX.")
endif()
set(QT_HOST_PATH /usr CACHE PATH "Debian's Linux Qt, whose moc, uic, rcc and lrelease run here")
include("${_kestrelix_qt_toolchain}")
# Qt's file adds the prefix as a root; the compilers' own libraries (zlib among them) are below
# /usr/x86_64-w64-mingw32.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest (and anything else that runs a built program) starts it through Wine.
find_program(KESTRELIX_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KESTRELIX_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${KESTRELIX_WINE}")
endif()

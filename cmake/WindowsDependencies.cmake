# The libraries of the Windows build, from the static MinGW-w64 prefix (KESTRELIX_MINGW_PREFIX, a
# root of the toolchain file), under the target names that the Linux build's pkg-config gives
# them, so that the libraries' own CMakeLists.txt link the same names on both systems.
#
# Every program is linked -static: updater.exe needs no DLL beside it (neither Qt's nor the MinGW
# runtime's), and so holds no file open that an update would have to replace.

add_link_options(-static)

# zlib as the static archive: a plain -lz would find the DLL's import library first.
find_library(ZLIB_LIBRARY NAMES libz.a REQUIRED)
find_package(ZLIB REQUIRED)

# libzip (zlib only, Windows' own crypto).
find_package(libzip CONFIG REQUIRED)
add_library(PkgConfig::LIBZIP INTERFACE IMPORTED)
target_link_libraries(PkgConfig::LIBZIP INTERFACE libzip::zip)

# libsodium: its static build wants SODIUM_STATIC in every user, and advapi32 for its random bytes.
find_library(SODIUM_LIBRARY NAMES libsodium.a REQUIRED)
find_path(SODIUM_INCLUDE_DIR sodium.h REQUIRED)
add_library(PkgConfig::SODIUM INTERFACE IMPORTED)
target_include_directories(PkgConfig::SODIUM INTERFACE ${SODIUM_INCLUDE_DIR})
target_compile_definitions(PkgConfig::SODIUM INTERFACE SODIUM_STATIC)
target_link_libraries(PkgConfig::SODIUM INTERFACE ${SODIUM_LIBRARY} advapi32)

# SQLite: the static qsqlite plugin carries SQLite inside (Qt's copy, with the column metadata
# that database/ asks for), and the code that calls SQLite's C API links those very symbols, so
# that one SQLite, one set of locks, serves the driver and us. The header is the prefix's when it
# has one (scripts/windows-deps.sh installs the one the plugin was built from), else Debian's of
# the same version, copied alone so that no other Linux header comes along.
get_target_property(_sqlite_plugin Qt6::QSQLiteDriverPlugin IMPORTED_LOCATION_RELEASE)
find_path(SQLite3_INCLUDE_DIR sqlite3.h)
if(NOT SQLite3_INCLUDE_DIR)
    if(NOT EXISTS /usr/include/sqlite3.h)
        message(FATAL_ERROR "No sqlite3.h in the prefix nor in /usr/include (libsqlite3-dev)")
    endif()
    file(COPY /usr/include/sqlite3.h DESTINATION ${CMAKE_BINARY_DIR}/sqlite3-include)
    set(SQLite3_INCLUDE_DIR ${CMAKE_BINARY_DIR}/sqlite3-include CACHE PATH "" FORCE)
endif()
set(SQLite3_LIBRARY ${_sqlite_plugin} CACHE FILEPATH "SQLite inside the static qsqlite plugin")
find_package(SQLite3 REQUIRED)
file(STRINGS ${_sqlite_plugin} _sqlite_plugin_version REGEX "^${SQLite3_VERSION}$" LIMIT_COUNT 1)
if(NOT _sqlite_plugin_version)
    message(FATAL_ERROR "${SQLite3_INCLUDE_DIR}/sqlite3.h is SQLite ${SQLite3_VERSION}, which the "
        "qsqlite plugin ${_sqlite_plugin} does not carry")
endif()

# The static plugins every program takes: the Windows screen and the offscreen one (what tests
# and automatic runs without a screen ask for), the SQLite driver, the .ico reader for the
# window's icon and the native widget style. Qt's other default plugins (GIF, JPEG, the TLS
# backend) serve nothing here.
function(updater_import_static_plugins dir)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            qt_import_plugins(${target} NO_DEFAULT
                INCLUDE Qt6::QWindowsIntegrationPlugin Qt6::QOffscreenIntegrationPlugin
                        Qt6::QSQLiteDriverPlugin Qt6::QICOPlugin Qt6::QWindowsVistaStylePlugin)
        endif()
    endforeach()
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        updater_import_static_plugins(${subdir})
    endforeach()
endfunction()

# The tests of the Windows cross build. They run under Wine (wine64) in a prefix of their own
# in the build folder, made fresh by ./dev test. Wine is not Windows: where a test meets a
# difference, it says so beside the check.

find_package(Threads REQUIRED)

# GoogleTest from Debian's sources, built with the cross compiler.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(VX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources (libgtest-dev)")
add_subdirectory(${VX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The Wine loader. A script in the build folder runs a program in this build's own prefix, with
# the system locale of the systems the client serves (Chinese, code page 936); ./dev test and
# ctest both use it.
find_program(VX_WINE_LOADER NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(VX_WINE_LOADER NAMES wine64 wine)
find_program(VX_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(VX_WINESERVER NAMES wineserver)
if(NOT VX_WINE_LOADER OR NOT VX_WINESERVER)
  message(WARNING "Wine (wine64) was not found: the Windows tests are built but not registered")
  set(_wine_ok FALSE)
else()
  set(_wine_ok TRUE)
endif()
set(VX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
# Wine takes the code page from the Unix locale and needs that locale to exist, or it cannot
# name files outside ASCII. A private copy in the build folder leaves the system alone.
set(VX_WINE_LOCALES ${CMAKE_BINARY_DIR}/locale)
if(NOT EXISTS ${VX_WINE_LOCALES}/zh_CN.UTF-8/LC_CTYPE)
  file(MAKE_DIRECTORY ${VX_WINE_LOCALES})
  execute_process(COMMAND localedef -i zh_CN -f UTF-8 ${VX_WINE_LOCALES}/zh_CN.UTF-8
                  RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT EXISTS ${VX_WINE_LOCALES}/zh_CN.UTF-8/LC_CTYPE)
    message(WARNING "localedef could not make zh_CN.UTF-8 (package locales): the Windows tests "
                    "that name files outside ASCII will fail")
  endif()
endif()
set(VX_WINE_RUN ${CMAKE_BINARY_DIR}/wine/run)
file(CONFIGURE OUTPUT ${VX_WINE_RUN} @ONLY CONTENT [[#!/bin/sh
# wine/run PROGRAM [ARGS]: runs a Windows program in this build's Wine prefix.
# wine/run --stop: ends the prefix's wineserver (and every program still running in it).
export WINEPREFIX="@VX_WINE_PREFIX@"
export WINEDEBUG=-all
# No menu entries under $HOME, no offer to install Mono or Gecko.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml="
# The system locale of the client's users: ANSI code page 936 (GBK).
export LOCPATH="@VX_WINE_LOCALES@"
export LC_ALL=zh_CN.UTF-8
if [ "$1" = --stop ]; then
  exec "@VX_WINESERVER@" -k
fi
exec "@VX_WINE_LOADER@" "$@"
]])
file(CHMOD ${VX_WINE_RUN} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# win_add_test(name SOURCES ... LIBS ...): one GoogleTest program run under Wine.
function(win_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE vx_common gtest gtest_main ${T_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(_wine_ok)
    add_test(NAME ${name} COMMAND ${VX_WINE_RUN} $<TARGET_FILE:${name}> --gtest_color=no)
    set_tests_properties(${name} PROPERTIES LABELS windows TIMEOUT 600)
  endif()
endfunction()

set(_dir ${CMAKE_CURRENT_LIST_DIR})

# A program that writes how it was started (its arguments, its folder) to a file: the target of
# the application and update-script starts.
add_executable(win_start_probe ${_dir}/StartProbe.cpp)
target_link_libraries(win_start_probe PRIVATE vx_common)

win_add_test(win_platform_tests
  SOURCES ${_dir}/PlatformWinTest.cpp ${_dir}/TextWinTest.cpp ${_dir}/StartWinTest.cpp
  LIBS vxcore)
add_dependencies(win_platform_tests win_start_probe TCPServer)

win_add_test(win_link_tests
  SOURCES ${_dir}/LinkServerWinTest.cpp ${_dir}/LinkKitWinTest.cpp
  LIBS vxlinkclient vxcore ws2_32 iphlpapi Threads::Threads)
add_dependencies(win_link_tests TCPServer vxlink)

# The downloader's file operations and placement (the rest of DownLoader.dll needs libcurl
# and libzip, which Debian does not ship for mingw).
win_add_test(win_placement_tests
  SOURCES ${_dir}/PlacementWinTest.cpp ${CMAKE_SOURCE_DIR}/libs/downloader/FileOps.cpp
    ${CMAKE_SOURCE_DIR}/libs/downloader/FileOps_win.cpp ${CMAKE_SOURCE_DIR}/libs/downloader/Place.cpp
  LIBS Threads::Threads)
target_include_directories(win_placement_tests PRIVATE ${CMAKE_SOURCE_DIR}/libs/downloader)

# The DLL's exports and every program's imports, read from the files on the host: the exact
# undecorated entry names, and no DLL of the compiler that would have to travel along.
find_program(VX_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
add_test(NAME windows_binaries_exports_and_imports
         COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${VX_MINGW_OBJDUMP} -DDLL=$<TARGET_FILE:TCPServer>
                 "-DPROGRAMS=$<TARGET_FILE:vxlink>;$<TARGET_FILE:win_link_tests>;$<TARGET_FILE:win_platform_tests>;$<TARGET_FILE:win_placement_tests>"
                 -P ${_dir}/CheckExports.cmake)
set_tests_properties(windows_binaries_exports_and_imports PROPERTIES LABELS windows)

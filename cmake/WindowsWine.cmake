# The Windows cross build: TCPServer.dll, the link kit and vxlink.exe, the platform layer and
# the parts of the core they need, and their tests, which run under Wine. DownLoader.dll needs
# libcurl and libzip, which Debian does not ship for mingw; it stays syntax-checked by the
# Linux build (docs/platforms.md).

set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

add_library(vx_common INTERFACE)
target_compile_features(vx_common INTERFACE cxx_std_20)
target_compile_options(vx_common INTERFACE -Wall -Wextra)
target_include_directories(vx_common INTERFACE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/libs)
target_compile_definitions(vx_common INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)

# Standalone Asio is header-only; its headers are taken from the host through a folder that
# holds nothing else, since the host's /usr/include must never reach a cross build.
set(VX_ASIO_HOST_DIR /usr/include CACHE PATH "Folder holding the host's asio.hpp and asio/")
if(NOT EXISTS ${VX_ASIO_HOST_DIR}/asio.hpp)
  message(FATAL_ERROR "asio.hpp not found in ${VX_ASIO_HOST_DIR} (./dev installs libasio-dev)")
endif()
set(_asio ${CMAKE_BINARY_DIR}/asio-include)
file(MAKE_DIRECTORY ${_asio})
foreach(_entry asio.hpp asio)
  if(NOT EXISTS ${_asio}/${_entry})
    file(CREATE_LINK ${VX_ASIO_HOST_DIR}/${_entry} ${_asio}/${_entry} SYMBOLIC)
  endif()
endforeach()
add_library(vx_asio INTERFACE)
target_include_directories(vx_asio SYSTEM INTERFACE ${_asio})
# Asio picks an old Windows version when none is set before its first header.
target_compile_definitions(vx_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED _WIN32_WINNT=0x0601)
target_link_libraries(vx_asio INTERFACE ws2_32 mswsock)

include(${CMAKE_SOURCE_DIR}/cmake/Helpers.cmake)

# The part of the core that the link kit and the platform layer need, with the pieces of the
# page API and the link handling whose Windows behaviour the tests run.
add_library(vxcore STATIC
  ${CMAKE_SOURCE_DIR}/src/core/Text.cpp
  ${CMAKE_SOURCE_DIR}/src/http/FormUrl.cpp
  ${CMAKE_SOURCE_DIR}/src/platform/CommandLine.cpp
  ${CMAKE_SOURCE_DIR}/src/platform/Platform_win.cpp
  ${CMAKE_SOURCE_DIR}/src/link/LaunchFile.cpp
  ${CMAKE_SOURCE_DIR}/src/api/UpdateScript.cpp)
target_link_libraries(vxcore PUBLIC vx_common shell32 ws2_32 advapi32 winhttp)

add_subdirectory(${CMAKE_SOURCE_DIR}/libs/tcpserver ${CMAKE_BINARY_DIR}/libs/tcpserver)
add_subdirectory(${CMAKE_SOURCE_DIR}/libs/linkclient ${CMAKE_BINARY_DIR}/libs/linkclient)

if(VX_BUILD_TESTS)
  enable_testing()
  include(${CMAKE_SOURCE_DIR}/tests/windows/WindowsTests.cmake)
endif()

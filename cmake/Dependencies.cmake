# Every dependency comes from Debian's packages (see the dev script).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS SSL Crypto)
find_package(ZLIB REQUIRED)
find_package(pugixml REQUIRED)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
# Binary patches of updated files (zstd's patch-from).
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
pkg_check_modules(HTTPLIB IMPORTED_TARGET cpp-httplib)

# Standalone Asio is header-only.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(vx_asio INTERFACE)
target_include_directories(vx_asio INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(vx_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(vx_asio INTERFACE Threads::Threads)

if(VX_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()

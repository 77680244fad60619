# vx_platform_sources(OUT dir): the sources of a folder, with the platform-specific
# files (*_posix.cpp / *_win.cpp) filtered for the host.
function(vx_platform_sources out dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(WIN32)
    list(FILTER _srcs EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER _srcs EXCLUDE REGEX "_win\\.cpp$")
  endif()
  set(${out} ${_srcs} PARENT_SCOPE)
endfunction()

# vx_add_subfolders(dir): add_subdirectory for every folder below `dir` that carries a
# CMakeLists.txt, in name order (new folders are picked up at the next build).
macro(vx_add_subfolders dir)
  file(GLOB _vx_lists CONFIGURE_DEPENDS ${dir}/*/CMakeLists.txt)
  list(SORT _vx_lists)
  foreach(_vx_l IN LISTS _vx_lists)
    get_filename_component(_vx_d ${_vx_l} DIRECTORY)
    add_subdirectory(${_vx_d})
  endforeach()
endmacro()

# vx_add_test(name LABEL label SOURCES ... LIBS ...): one GoogleTest executable
# registered with CTest.
function(vx_add_test name)
  cmake_parse_arguments(T "" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE vx_common GTest::gtest GTest::gtest_main GTest::gmock ${T_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
                       ENVIRONMENT "VX_TEST_TMP=${CMAKE_BINARY_DIR}/testtmp;${T_ENV}")
endfunction()

# vx_keep_library_sockets_private(target): the executable defines socketpair() so that the
# socket pairs libcurl makes for itself are close-on-exec (platform/interpose/LibrarySockets.h).
# Exported, so that libcurl's calls reach it also from a library the client loads at run time.
function(vx_keep_library_sockets_private target)
  if(NOT WIN32)
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src/platform/interpose/LibrarySockets_posix.cpp)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
    target_link_options(${target} PRIVATE "LINKER:--export-dynamic-symbol=socketpair")
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
  endif()
endfunction()

# cmake -DCXX=<mingw g++> -DSRC=<source dir> -DFILES=<list> -P CheckWindowsSources.cmake
# Syntax-checks every Windows source with mingw-w64.
if(NOT CXX)
  message(FATAL_ERROR "x86_64-w64-mingw32-g++-posix was not found (./dev installs it)")
endif()
set(failed 0)
foreach(f IN LISTS FILES)
  get_filename_component(dir ${f} DIRECTORY)
  execute_process(
    COMMAND ${CXX} -std=c++20 -fsyntax-only -Wall -Wextra -DWIN32_LEAN_AND_MEAN -DUNICODE
            -D_UNICODE -I${SRC}/src -I${SRC}/libs -I${dir} ${f}
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(rc)
    message(SEND_ERROR "${f}:\n${err}")
    set(failed 1)
  else()
    message(STATUS "ok ${f}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "Windows sources do not compile")
endif()

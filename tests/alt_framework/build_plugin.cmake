# Builds kel36.so alone against another set of framework headers, as an
# integrator does with their host's (KEL36_FRAMEWORK_INCLUDE_DIR).
#
#   cmake -DSOURCE=<repository> -DBINARY=<build dir> -DHEADERS=<header dir>
#         [-DBREAK_MEMBER=ON] [-DGENERATOR=.. -DMAKE_PROGRAM=.. -DCXX=.. -DCXX_FLAGS=..
#          -DMODULE_LINKER_FLAGS=.. -DBUILD_TYPE=.. -DTOOLCHAIN=..] -P build_plugin.cmake
#
# BREAK_MEMBER builds a copy of the headers in which poll_step_ is a signed
# int, and passes only if the framework contract check then stops the build
# with exactly one error, the one that names poll_step_.
cmake_minimum_required(VERSION 3.25)

foreach(required SOURCE BINARY HEADERS)
  if(NOT ${required})
    message(FATAL_ERROR "build_plugin.cmake: ${required} is not set")
  endif()
endforeach()

set(headers "${HEADERS}")
if(BREAK_MEMBER)
  set(headers "${BINARY}/headers")
  file(REMOVE_RECURSE "${headers}")
  file(COPY "${HEADERS}/" DESTINATION "${headers}")
  file(READ "${headers}/host_serial.h" text)
  string(REPLACE "unsigned int poll_step_" "int poll_step_" changed "${text}")
  if(changed STREQUAL text)
    message(FATAL_ERROR "build_plugin.cmake: no 'unsigned int poll_step_' in host_serial.h")
  endif()
  file(WRITE "${headers}/host_serial.h" "${changed}")
endif()

set(configure "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${BINARY}/build"
    "-DKEL36_FRAMEWORK_INCLUDE_DIR=${headers}" -DKEL36_BUILD_TOOLS=OFF -DKEL36_BUILD_TESTS=OFF
    -DKEL36_BUILD_BENCH=OFF -DKEL36_FUZZ=OFF -DKEL36_WERROR=ON
    "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    "-DCMAKE_MODULE_LINKER_FLAGS=${MODULE_LINKER_FLAGS}")
if(GENERATOR)
  list(APPEND configure -G "${GENERATOR}")
endif()
if(MAKE_PROGRAM)
  list(APPEND configure "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
if(TOOLCHAIN)
  list(APPEND configure "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
elseif(CXX)
  list(APPEND configure "-DCMAKE_CXX_COMPILER=${CXX}")
endif()
execute_process(COMMAND ${configure} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "build_plugin.cmake: configuring against ${headers} failed")
endif()

if(NOT BREAK_MEMBER)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BINARY}/build" --target kel36
                          --parallel 2
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "build_plugin.cmake: kel36.so does not build against ${headers}")
  endif()
  return()
endif()

execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BINARY}/build"
                        --target kel36_framework_contract
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
message("${output}")
string(REGEX MATCHALL "error:[^\n]*" errors "${output}")
list(LENGTH errors error_count)
if(status EQUAL 0)
  message(FATAL_ERROR "build_plugin.cmake: the contract check passed a signed poll_step_")
elseif(NOT error_count EQUAL 1
       OR NOT errors MATCHES
           "static.assert.*framework contract: the device needs a member poll_step_, an unsigned 32-bit")
  message(FATAL_ERROR "build_plugin.cmake: expected one error naming poll_step_, got "
                      "${error_count}: ${errors}")
endif()
message("build_plugin.cmake: the contract check stopped the build naming poll_step_")

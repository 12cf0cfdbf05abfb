# How the build's tests start an i386 program: natively, or through the emulator that the suite
# chose (suite/launcher.py), where the kernel refuses i386 programs. Tests that CTest starts with
# a target go through CMAKE_CROSSCOMPILING_EMULATOR; the suite's Python tests are told the
# choice in KEL_EMULATOR and ask suite/launcher.py for each command line.

# The repository's top, for the projects that include this file from below it (the fuzz targets).
get_filename_component(kel_source_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

set(KEL_EMULATOR "" CACHE FILEPATH "emulator that runs the i386 programs (qemu-i386), empty for native runs")
if(KEL_EMULATOR)
  execute_process(COMMAND python3 -c "from suite import launcher; print(launcher.SLOWDOWN, launcher.SANITIZER_OPTIONS)"
                  WORKING_DIRECTORY ${kel_source_root}
                  OUTPUT_VARIABLE emulation OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(emulation UNIX_COMMAND "${emulation}")
  list(GET emulation 0 KEL_SLOWDOWN)
  list(GET emulation 1 sanitizer_options)
  # The sanitizers read their options from /proc/self/environ, the emulator's own environment.
  set(CMAKE_CROSSCOMPILING_EMULATOR env ASAN_OPTIONS=${sanitizer_options} ${KEL_EMULATOR})
  set(kel_emulator_setting ${KEL_EMULATOR})
else()
  set(KEL_SLOWDOWN 1)
  set(kel_emulator_setting none)
endif()

# kel_script_test(NAME COMMAND... [ENVIRONMENT vars...] [TIMEOUT seconds] [LABELS labels...]
#                 [WORKING_DIRECTORY dir] [SKIP_REGULAR_EXPRESSION regex]): a test run by a
# script that starts the built programs. It is told how to start them and which toolchain built
# them (KEL_TOOLCHAIN), and its time limit
# (CTest's default of 1500 s when none is given) allows for the emulator.
function(kel_script_test name)
  cmake_parse_arguments(T "" "TIMEOUT;WORKING_DIRECTORY;SKIP_REGULAR_EXPRESSION"
                        "COMMAND;ENVIRONMENT;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 1500)
  endif()
  math(EXPR timeout "${T_TIMEOUT} * ${KEL_SLOWDOWN}")
  if(NOT T_WORKING_DIRECTORY)
    set(T_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  add_test(NAME ${name} COMMAND ${T_COMMAND} WORKING_DIRECTORY ${T_WORKING_DIRECTORY})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${timeout}
                       ENVIRONMENT "KEL_EMULATOR=${kel_emulator_setting};KEL_TOOLCHAIN=${KEL_TOOLCHAIN};PYTHONPATH=${kel_source_root};${T_ENVIRONMENT}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_SKIP_REGULAR_EXPRESSION)
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "${T_SKIP_REGULAR_EXPRESSION}")
  endif()
endfunction()

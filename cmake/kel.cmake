# How deliverables are built: each links the kel runtime library chosen by
# KEL_RUNTIME (default: the bundled kelrt) and sees the runtime support layer.

if(KEL_RUNTIME)
  add_library(kel STATIC IMPORTED GLOBAL)
  set_target_properties(kel PROPERTIES IMPORTED_LOCATION ${KEL_RUNTIME})
endif()

add_library(kel_support INTERFACE)
target_include_directories(kel_support INTERFACE ${PROJECT_SOURCE_DIR})

# KEL_TRACE: a traced build, whose programs reach the runtime through tracing/record.cc, which
# records each call in the file KEL_TRACE_FILE names. Every entry point the support layer calls
# is wrapped, and the long jumps by which events leave the runtime.
set(KEL_TRACE OFF CACHE BOOL "link the programs through wrappers that record their calls into the kel runtime")
if(KEL_TRACE)
  add_library(kel_trace STATIC ${PROJECT_SOURCE_DIR}/tracing/record.cc)
  target_include_directories(kel_trace PRIVATE ${PROJECT_SOURCE_DIR})
  file(READ ${PROJECT_SOURCE_DIR}/suite/runtime-abi.json abi)
  string(JSON count LENGTH "${abi}" entry_points)
  math(EXPR last "${count} - 1")
  set(wrapped siglongjmp longjmp _longjmp __longjmp_chk)
  foreach(i RANGE ${last})
    string(JSON name GET "${abi}" entry_points ${i})
    list(APPEND wrapped ${name})
  endforeach()
  list(TRANSFORM wrapped PREPEND "-Wl,--wrap=")
  target_link_options(kel_support INTERFACE ${wrapped})
  # Before the runtime on the link line: the wrappers' references to it resolve there.
  target_link_libraries(kel_support INTERFACE kel_trace)
endif()
target_link_libraries(kel_support INTERFACE kel m)

# kel_program(NAME SOURCE): a program at bin/NAME.
function(kel_program name source)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE kel_support)
endfunction()

# kel_module(NAME SOURCE): routines exported for outside callers, as lib/libNAME.a.
function(kel_module name source)
  add_library(${name} STATIC ${source})
  target_link_libraries(${name} PUBLIC kel_support)
endfunction()

# kel_observed_program(NAME SOURCE): bin/NAME-observed, the program with an observer that
# prints what it exposes, for cases that check results a program does not print.
function(kel_observed_program name source)
  add_executable(${name}-observed ${source} ${PROJECT_SOURCE_DIR}/tests/support/print_observer.cc)
  target_link_libraries(${name}-observed PRIVATE kel_support)
endfunction()

# kel_test_program(TARGET SOURCE SUPPORT... [WRAP symbols...]): bin/TARGET, the program linked
# with test support sources. Calls to each WRAP symbol go to the support's __wrap_SYMBOL,
# which reaches the original as __real_SYMBOL, whichever archive member defines it.
function(kel_test_program target source)
  cmake_parse_arguments(T "" "" "WRAP" ${ARGN})
  add_executable(${target} ${source} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${target} PRIVATE kel_support)
  foreach(symbol ${T_WRAP})
    target_link_options(${target} PRIVATE -Wl,--wrap=${symbol})
  endforeach()
endfunction()

# kel_seeded_program(NAME SOURCE): bin/NAME-seeded, the observed program whose observer first
# sets exposed arrays from the command line ("name=v,v,..."), for cases that start a program
# from values it does not choose itself.
function(kel_seeded_program name source)
  kel_test_program(${name}-seeded ${source} ${PROJECT_SOURCE_DIR}/tests/support/print_observer.cc
                   ${PROJECT_SOURCE_DIR}/tests/support/seeding_observer.cc WRAP kel_observe)
endfunction()

# How deliverables are built: each links the kel runtime library chosen by
# KEL_RUNTIME (default: the bundled kelrt) and sees the runtime support layer.

if(KEL_RUNTIME)
  add_library(kel STATIC IMPORTED GLOBAL)
  set_target_properties(kel PROPERTIES IMPORTED_LOCATION ${KEL_RUNTIME})
endif()

add_library(kel_support INTERFACE)
target_include_directories(kel_support INTERFACE ${PROJECT_SOURCE_DIR})
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

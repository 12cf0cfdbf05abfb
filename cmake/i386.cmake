# Toolchain for the suite's target: 32-bit x86 Linux, glibc, SSE arithmetic, built by the compiler
# that KEL_TOOLCHAIN names (gcc, clang or cross; default gcc). suite/toolchain.py says which
# compilers and flags each one means, for this file and for the tests that compile programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
if(NOT KEL_TOOLCHAIN)
  set(KEL_TOOLCHAIN gcc)
endif()
# try_compile reads this file again in a project of its own: it must see the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEL_TOOLCHAIN)
execute_process(COMMAND python3 -m suite.toolchain ${KEL_TOOLCHAIN}
                WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/..
                OUTPUT_VARIABLE kel_toolchain OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" kel_toolchain "${kel_toolchain}")
list(GET kel_toolchain 0 CMAKE_C_COMPILER)
list(GET kel_toolchain 1 CMAKE_CXX_COMPILER)
list(GET kel_toolchain 2 KEL_TARGET_FLAGS)
list(GET kel_toolchain 3 kel_link_flags)
set(CMAKE_C_FLAGS_INIT "${KEL_TARGET_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KEL_TARGET_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kel_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kel_link_flags}")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Toolchain for the suite's target: 32-bit x86 Linux, glibc, SSE arithmetic.
# SSE gives exact IEEE single and double rounding (x87 excess precision would not);
# -fwrapv gives the wrapping integer arithmetic the programs assume.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(KEL_TARGET_FLAGS "-m32 -msse2 -mfpmath=sse -fwrapv")
set(CMAKE_C_FLAGS_INIT "${KEL_TARGET_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KEL_TARGET_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# Cross build of the 32-bit Windows program with Debian's MinGW-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The tool throws nothing and asks no type at run time; leaving both out, and
# the unwind tables nothing reads, and giving every function and datum its own
# section for --gc-sections, keeps the program small. -fno-ident leaves out
# the compiler's version string.
set(edcca_small "-fno-asynchronous-unwind-tables -fno-unwind-tables -ffunction-sections -fno-ident")
set(CMAKE_C_FLAGS_INIT "${edcca_small}")
set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions -fno-rtti ${edcca_small}")

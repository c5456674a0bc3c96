# Cross-compiling for 64-bit Windows with Debian's mingw-w64 g++ (the POSIX
# threads flavour, whose C++ library has std::thread and std::mutex):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The programs are linked statically (C++ and thread libraries included), so
# nothing but Windows' own DLLs is needed beside them. Test programs built
# here run under wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WENDLEMOOR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${WENDLEMOOR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WENDLEMOOR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${WENDLEMOOR_MINGW_PREFIX}-windres)

# Headers and libraries come from the target's tree alone; programs that run
# during the build (none but CMake's own) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${WENDLEMOOR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)

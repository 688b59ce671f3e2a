# Cross-build for 64-bit Windows with MinGW-w64 (posix threads) on Debian.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_MC_COMPILER  ${TOOLCHAIN_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Each .exe must run alone: no libstdc++/libgcc/winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest and gtest_discover_tests run the test programs through Wine, without
# address randomisation (see wine_fixed_layout in tools/wine-session.sh).
find_program(SETARCH_PROGRAM setarch)
if(SETARCH_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SETARCH_PROGRAM} x86_64 -R wine)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()

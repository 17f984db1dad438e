# Cross build for 32-bit Windows with MinGW-w64. The -posix compiler variants are the ones whose libstdc++ has
# std::thread; everything is linked statically so the programs need no MinGW runtime DLLs next to them.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT ZVQ_MINGW_TRIPLE)
  set(ZVQ_MINGW_TRIPLE i686-w64-mingw32)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${ZVQ_MINGW_TRIPLE}")
set(CMAKE_C_COMPILER ${ZVQ_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZVQ_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZVQ_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZVQ_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)

# The test programs cannot run on the build host, so their test lists are read when ctest runs them
# (under an emulator such as Wine), not after each link.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# GoogleTest is built from Debian's source package with this compiler rather than found as a package.
set(ZVQ_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built into the cross build")

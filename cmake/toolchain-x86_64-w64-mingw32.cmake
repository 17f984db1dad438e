# The same cross build for 64-bit Windows. The program ships as 32-bit; this variant lets the Windows tests
# run under a 64-bit-only Wine on hosts that cannot execute 32-bit Linux programs (Wine's 32-bit half).
set(ZVQ_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-i686-w64-mingw32.cmake)

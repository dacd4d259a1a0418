set(CMAKE_SYSTEM_PROCESSOR x86)
set(TOOLCHAIN_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Its programs run in the i686 test bed: 32-bit code in Wine's WoW64 mode (scripts/testbed).

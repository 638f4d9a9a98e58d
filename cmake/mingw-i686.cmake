# Cross build of the 32-bit Windows program with the mingw-w64 toolchain.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)

# Cross build of the 64-bit test build of the Windows program (the Wine tests run it where
# 32-bit code cannot run) with the mingw-w64 toolchain.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)

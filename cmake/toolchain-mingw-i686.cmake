# Cross build of the 32-bit Windows library (the product DLL) with MinGW-w64.
set(ZQK_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)

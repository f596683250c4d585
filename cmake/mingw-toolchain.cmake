# What both MinGW-w64 cross builds share; the toolchain file of each sets
# ZQK_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first. The posix thread model
# makes std::thread work in tests; everything is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZQK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZQK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZQK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZQK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

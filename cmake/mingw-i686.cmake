# Cross build of ZRQAPI.dll: 32-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-i686). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZRQ_MINGW_PREFIX i686-w64-mingw32)
# Debian ships a win32-threads and a posix-threads flavour; the posix one is
# what GoogleTest needs, and both link statically here.
find_program(CMAKE_C_COMPILER NAMES ${ZRQ_MINGW_PREFIX}-gcc-posix ${ZRQ_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZRQ_MINGW_PREFIX}-g++-posix ${ZRQ_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZRQ_MINGW_PREFIX}-windres REQUIRED)
set(CMAKE_OBJDUMP ${ZRQ_MINGW_PREFIX}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZRQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine.
find_program(ZRQ_WINE NAMES wine)
if(ZRQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZRQ_WINE})
endif()

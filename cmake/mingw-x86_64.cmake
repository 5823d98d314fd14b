# Cross build of ZRQAPI.dll for 64-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-x86-64). The same sources as the 32-bit DLL; its tests run
# under 64-bit Wine, which machines without 32-bit program support can run.
# Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZRQ_MINGW_PREFIX x86_64-w64-mingw32)
# The posix-threads flavour, as for the 32-bit build: GoogleTest needs it.
find_program(CMAKE_C_COMPILER NAMES ${ZRQ_MINGW_PREFIX}-gcc-posix ${ZRQ_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZRQ_MINGW_PREFIX}-g++-posix ${ZRQ_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZRQ_MINGW_PREFIX}-windres REQUIRED)
set(CMAKE_OBJDUMP ${ZRQ_MINGW_PREFIX}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZRQ_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under 64-bit Wine. Debian's `wine` starts the 32-bit loader
# whenever it is installed, so the 64-bit loader is named directly.
find_program(ZRQ_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT ZRQ_WINE)
  find_program(ZRQ_WINE NAMES wine64)
endif()
if(ZRQ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZRQ_WINE})
endif()

# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix-threads
# variant, which std::thread and std::mutex need), run under Wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The test programs carry their C++ runtime, so Wine needs no MinGW DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine with a prefix of the build's own, quietly and
# without a display. Debian keeps the 64-bit loader outside PATH.
find_program(LV_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
set(LV_WINE_ENV WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
    WINEDLLOVERRIDES=winemenubuilder.exe=d)
if(LV_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${LV_WINE_ENV} ${LV_WINE})
endif()

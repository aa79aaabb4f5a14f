# Cross-builds the Windows programs on Debian with mingw-w64 (g++-mingw-w64-x86-64-posix: the
# posix thread model, whose C++ runtime has std::thread and the clock functions the core uses).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QDQM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QDQM_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QDQM_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QDQM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QDQM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe that needs no DLLs beside it: the C and C++ runtimes and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the .exe files under wine.
find_program(QDQM_WINE NAMES wine64 wine PATHS /usr/lib/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QDQM_WINE})

# 32-bit Windows console programs with Debian's mingw-w64 cross compiler
# (package g++-mingw-w64-i686): its own windows.h, wincrypt.h and conio.h and
# the system's DLLs (advapi32 for the key store).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(KEYHOLD_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${KEYHOLD_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KEYHOLD_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${KEYHOLD_MINGW_PREFIX}-windres)

# Libraries built for the target (libcrypto) come in as further roots.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KEYHOLD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

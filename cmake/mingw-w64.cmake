# Cross-builds the updater for 64-bit Windows with MinGW-w64 (posix threads,
# which spdlog needs). UPDATER_WIN_PREFIXES lists the OpenSSL, Qt and spdlog
# prefixes built for Windows; nothing else is searched, so no Linux library
# slips in.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

# Every program carries its libraries: OpenSSL and Qt come as static
# libraries, and -static links the compiler's runtime (libgcc, libstdc++,
# winpthread) in as well, so no MinGW DLL has to travel with a program.
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Try-compiles and sub-builds see the prefixes too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_WIN_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple} ${UPDATER_WIN_PREFIXES})
set(CMAKE_PREFIX_PATH ${UPDATER_WIN_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs every test program through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

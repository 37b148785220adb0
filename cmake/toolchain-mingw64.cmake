# Cross-builds korvat for 64-bit Windows with Debian's mingw-w64 (the -posix
# compilers, whose threads std::thread needs) and libz-mingw-w64-dev:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVAT_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KORVAT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVAT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVAT_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVAT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime (libstdc++, libgcc, winpthread) and zlib go into each program
# and the DLL, so they run without MinGW's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(ZLIB_LIBRARY /usr/${KORVAT_MINGW_TRIPLET}/lib/libz.a CACHE FILEPATH "zlib, linked statically")

# Programs built here run through Wine (wine64) when ctest starts them.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KORVAT_WINE NAMES wine wine64)
  if(KORVAT_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVAT_WINE})
  endif()
endif()

# Cross build for Windows x64 with MinGW-w64 GCC: the modules become PE32+
# DLLs, the stand-in host and the tests Windows programs that run under wine.
#
# The compiler runtime (libgcc, libstdc++, winpthread) is linked statically,
# so a module imports only KERNEL32 and the C runtime msvcrt.dll.
#
# Without the cross compiler the build falls back to the native compiler and
# HARLWICK_CROSS_UNAVAILABLE holds the reason; without wine the programs are
# built but HARLWICK_EMULATOR_UNAVAILABLE says why they cannot run.

set(HARLWICK_MINGW_TRIPLE x86_64-w64-mingw32)

# GCC 12's win32 thread model has no std::mutex; the posix model has.
find_program(HARLWICK_MINGW_CXX NAMES ${HARLWICK_MINGW_TRIPLE}-g++-posix ${HARLWICK_MINGW_TRIPLE}-g++)
find_program(HARLWICK_MINGW_CC NAMES ${HARLWICK_MINGW_TRIPLE}-gcc-posix ${HARLWICK_MINGW_TRIPLE}-gcc)

if(NOT HARLWICK_MINGW_CXX OR NOT HARLWICK_MINGW_CC)
  set(HARLWICK_CROSS_UNAVAILABLE
      "the cross compiler ${HARLWICK_MINGW_TRIPLE}-g++ is not installed (Debian: g++-mingw-w64-x86-64)")
  return()
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER ${HARLWICK_MINGW_CC})
set(CMAKE_CXX_COMPILER ${HARLWICK_MINGW_CXX})
set(CMAKE_RC_COMPILER ${HARLWICK_MINGW_TRIPLE}-windres)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${HARLWICK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static takes libgcc, libstdc++ and winpthread from their archives, in DLLs
# as in programs; the system DLLs stay dynamic. The linker writes no time of
# linking into the headers, so that one source builds the same files.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
endforeach()

# The export and import tables are read with the cross toolchain's objdump.
find_program(HARLWICK_MINGW_OBJDUMP NAMES ${HARLWICK_MINGW_TRIPLE}-objdump)

# wine64 runs the test program; Debian keeps it outside PATH.
find_program(HARLWICK_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin)
if(HARLWICK_WINE)
  # A prefix of the build's own, which the build makes (target wine-prefix)
  # before any test program starts.
  set(HARLWICK_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${HARLWICK_WINE} ${HARLWICK_WINE_PREFIX})
else()
  unset(CMAKE_CROSSCOMPILING_EMULATOR)
  set(HARLWICK_EMULATOR_UNAVAILABLE "wine64 is not installed (Debian: wine64), so the Windows programs cannot run")
endif()

# Cross-builds vorlen.exe for 64-bit Windows with MinGW-w64 (Debian:
# g++-mingw-w64-x86-64-posix).  The posix flavour of the compiler brings the
# C++ thread and locale support of libstdc++ that the win32 flavour lacks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VORLEN_MINGW_PREFIX x86_64-w64-mingw32)
if(CMAKE_HOST_WIN32)
  # MSYS2's MINGW64 shell on Windows itself: its g++ is the MinGW-w64 one.
  set(CMAKE_CXX_COMPILER g++)
else()
  set(CMAKE_CXX_COMPILER ${VORLEN_MINGW_PREFIX}-g++-posix)
endif()

# Headers and libraries come from the MinGW-w64 sysroot only; programs
# (cmake's own helpers) from the build machine.
if(NOT CMAKE_HOST_WIN32)
  set(CMAKE_FIND_ROOT_PATH /usr/${VORLEN_MINGW_PREFIX})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# One self-contained vorlen.exe: the C and C++ runtimes and winpthreads are
# linked in, so the program runs on a Windows without MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# MinGW-w64's own printf family, which knows the C99 forms (%zu, %lld) that
# the system's msvcrt printf lacks.
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

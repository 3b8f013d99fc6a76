# How vorlen is compiled and linked: it parses files from anywhere, so every
# ordinary build (not the sanitizer and fuzz builds, which check more and
# differently) gets the usual hardening where the compiler and linker have
# it:
#   - position-independent code, so the program loads at a random address;
#   - -fstack-protector-strong;
#   - -D_FORTIFY_SOURCE=3 (2 where the compiler lacks what level 3 needs),
#     only in optimised configurations, where it takes effect;
#   - -z relro -z now: relocations done at start-up, then made read-only.
# VORLEN_STATIC links the program statically where the platform supports it
# (Linux with glibc, and Windows with MinGW-w64), on Linux as a static
# position-independent executable when the toolchain can make one.
#
# Included by the top-level CMakeLists.txt before its targets (the compile
# options apply to targets made after them); it links vorlen with
# ${vorlen_link}.  Windows is left out: MinGW's stack protector and
# fortified functions live in libssp-0.dll, one more file beside the
# program, and its linker already randomises the load address.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckLinkerFlag)

set(vorlen_harden OFF)
set(vorlen_fortify "")
if(VORLEN_HARDEN AND NOT VORLEN_SANITIZE AND NOT VORLEN_FUZZ AND NOT WIN32)
  set(vorlen_harden ON)
endif()

set(vorlen_pie OFF)
if(vorlen_harden AND NOT APPLE)
  # macOS makes every executable position-independent by itself.
  check_cxx_compiler_flag(-fPIE VORLEN_HAVE_FPIE)
  check_linker_flag(CXX -pie VORLEN_HAVE_PIE)
  if(VORLEN_HAVE_FPIE AND VORLEN_HAVE_PIE)
    set(vorlen_pie ON)
    add_compile_options(-fPIE)
  endif()
endif()

if(vorlen_harden)
  check_cxx_compiler_flag(-fstack-protector-strong VORLEN_HAVE_STACK_PROTECTOR)
  if(VORLEN_HAVE_STACK_PROTECTOR)
    add_compile_options(-fstack-protector-strong)
  endif()

  # Level 3 checks sizes known only at run time; glibc uses it where the
  # compiler has __builtin_dynamic_object_size (GCC 12, clang 9).  The probe
  # links, so a C library without the checked functions fails it too.
  set(CMAKE_REQUIRED_FLAGS "-O2")
  # One program with the checked calls, built with and without the test for
  # level 3.
  set(vorlen_fortify_probe [[
    #include <cstdio>
    #include <cstring>
    int main(int argc, char **argv)
    {
        char b[16];
        std::snprintf(b, sizeof b, "%s", argv[0]);
        std::memcpy(b, argv[0], argc > 15 ? 15 : argc);
        return b[0];
    }]])
  string(CONCAT vorlen_fortify3_probe [[
    #if !defined(__has_builtin)
    #error no __has_builtin
    #elif !__has_builtin(__builtin_dynamic_object_size)
    #error no __builtin_dynamic_object_size
    #endif
    ]] "${vorlen_fortify_probe}")
  check_cxx_source_compiles("${vorlen_fortify3_probe}" VORLEN_HAVE_FORTIFY3)
  check_cxx_source_compiles("${vorlen_fortify_probe}" VORLEN_HAVE_FORTIFY)
  unset(CMAKE_REQUIRED_FLAGS)
  if(VORLEN_HAVE_FORTIFY3)
    set(vorlen_fortify 3)
  elseif(VORLEN_HAVE_FORTIFY)
    set(vorlen_fortify 2)
  else()
    set(vorlen_fortify "")
  endif()
  if(vorlen_fortify)
    # Some compilers define _FORTIFY_SOURCE themselves; -U first avoids a
    # redefinition warning.  Without optimisation it would do nothing.
    set(optimised $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
    add_compile_options($<${optimised}:-U_FORTIFY_SOURCE>
                        $<${optimised}:-D_FORTIFY_SOURCE=${vorlen_fortify}>)
  endif()

  check_linker_flag(CXX LINKER:-z,relro,-z,now VORLEN_HAVE_RELRO_NOW)
  if(VORLEN_HAVE_RELRO_NOW)
    add_link_options(LINKER:-z,relro,-z,now)
  endif()
endif()

# The program's own link.  -pie goes to vorlen alone: after -static-pie it
# would turn the program back into one that needs the dynamic loader.
set(vorlen_link "")
if(VORLEN_STATIC)
  # glibc's static programs are well supported; elsewhere (macOS, the
  # BSDs, musl) a static link is impossible, discouraged or another story.
  # MinGW-w64 links its own runtime statically without trouble.
  check_cxx_source_compiles([[
    #include <cstdio>
    #ifndef __GLIBC__
    #error not glibc
    #endif
    int main() { return 0; }]] VORLEN_HAVE_GLIBC)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND VORLEN_HAVE_GLIBC)
    if(vorlen_pie)
      check_linker_flag(CXX -static-pie VORLEN_HAVE_STATIC_PIE)
    endif()
    if(VORLEN_HAVE_STATIC_PIE)
      set(vorlen_link -static-pie)
    else()
      set(vorlen_link -static)
    endif()
  elseif(WIN32)
    # MinGW-w64: one self-contained vorlen.exe, without MinGW's DLLs.
    set(vorlen_link -static)
  else()
    message(STATUS "VORLEN_STATIC: static linking is done on Linux with glibc only; "
                   "linking vorlen as an ordinary program")
  endif()
endif()
if(NOT vorlen_link AND vorlen_pie)
  set(vorlen_link -pie)
endif()
message(STATUS "vorlen: hardening ${vorlen_harden}, "
               "_FORTIFY_SOURCE=${vorlen_fortify}, link ${vorlen_link}")

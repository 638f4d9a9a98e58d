# How the programs are hardened: the sanitizer and fuzzing trees, and the protections of
# the shipped Linux program.

# Instrumented builds, each in a tree of its own:
#   ZDRV_SANITIZE  everything with AddressSanitizer and UndefinedBehaviorSanitizer
#                  (scripts/sanitize builds build/asan this way);
#   ZDRV_FUZZ      the libFuzzer targets of fuzz/, with clang (scripts/fuzz builds build/fuzz).
# ZDRV_CHECKS registers those runs and the static analysis as tests of the ordinary tree,
# so that its one ctest runs them all.
option(ZDRV_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZDRV_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)

# An instrumented tree must not start the checks again from inside itself.
if(WIN32 OR ZDRV_SANITIZE OR ZDRV_FUZZ)
  set(zdrv_checks_default OFF)
else()
  set(zdrv_checks_default ON)
endif()
option(ZDRV_CHECKS "Run sanitizers, fuzzing and static analysis as tests of this tree"
       ${zdrv_checks_default})

if(ZDRV_SANITIZE AND ZDRV_FUZZ)
  message(FATAL_ERROR "ZDRV_SANITIZE and ZDRV_FUZZ are meant for separate build trees")
endif()

# A report ends the program, so no test can pass one over.
set(zdrv_instrumentation -fno-sanitize-recover=all -fno-omit-frame-pointer)
if(ZDRV_SANITIZE OR ZDRV_FUZZ)
  # The library's own index checks catch what AddressSanitizer cannot see: a read past
  # a string's end that stays inside its spare capacity.
  add_compile_definitions(_GLIBCXX_ASSERTIONS)
endif()

if(ZDRV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined ${zdrv_instrumentation})
  add_link_options(-fsanitize=address,undefined)
endif()

if(ZDRV_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZDRV_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # The core gets the fuzzer's coverage hooks; only the targets link its main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined ${zdrv_instrumentation})
  add_link_options(-fsanitize=address,undefined)
endif()

# What ships is built with the hardening Debian builds its packages with (dpkg-buildflags
# with hardening=+all): a position-independent program, the stack protector with
# fortified libc calls, and relocations made read-only after an immediate binding at load
# (full RELRO). tests/posix checks the built program with hardening-check. The tests are
# not shipped and keep their plain build; the instrumented trees find faults and ship
# nothing, so they are left as they are.
if(NOT WIN32 AND NOT ZDRV_SANITIZE AND NOT ZDRV_FUZZ)
  include(CheckPIESupported)
  check_pie_supported()
endif()

# zdrv_harden(TARGET...): builds the targets (the program and the libraries it links)
# hardened, in the ordinary Linux tree.
function(zdrv_harden)
  if(WIN32 OR ZDRV_SANITIZE OR ZDRV_FUZZ)
    return()
  endif()
  foreach(target IN LISTS ARGN)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
    # glibc fortifies only optimised code, and warns (an error here) without optimisation.
    target_compile_definitions(
      ${target} PRIVATE $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now)
    endif()
  endforeach()
endfunction()

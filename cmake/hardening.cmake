# Hardening, as distributions harden their packages: fortified libc calls
# (_FORTIFY_SOURCE, level 3 where the compiler and libc support it, else 2;
# it needs optimisation), the stack protector, stack clash protection,
# control-flow protection (x86 CET, -fcf-protection; its AArch64
# counterpart, -mbranch-protection=standard), a position-independent
# executable, and relocations resolved at start and then made read-only
# (-z relro -z now).
#
# It adds and never lowers: a protection is added only when neither the
# caller's flags (CXXFLAGS with CPPFLAGS, LDFLAGS, the build type's flags)
# name it, in any form or level, nor the compiler turns it on by default at
# this level or higher. A level the caller or the compiler set is kept as it
# is, and no flag reaches a compile line twice with two values.
#
# The sanitizer builds leave out _FORTIFY_SOURCE and the stack protector:
# AddressSanitizer checks the stack and the libc calls itself, and the
# fortified calls would go around its interceptors.
#
# Sets KELPFALL_HARDENING_CHECK_SKIP: the hardening-check options that skip
# what this kind of build does not carry.

string(TOUPPER "${CMAKE_BUILD_TYPE}" kelpfall_config)
set(kelpfall_cflags "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${kelpfall_config}}")
set(kelpfall_ldflags "${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${kelpfall_config}}")
separate_arguments(kelpfall_cflag_list UNIX_COMMAND "${kelpfall_cflags}")

# The macros the compiler defines with the caller's flags, a libc header
# included: what it turns on by default or as asked, and the fortify level
# the libc takes from a given _FORTIFY_SOURCE.
function(kelpfall_macros out)
  file(WRITE "${PROJECT_BINARY_DIR}/hardening-probe.cpp" "#include <cstdio>\n")
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} ${kelpfall_cflag_list} ${ARGN} -dM -E hardening-probe.cpp
    WORKING_DIRECTORY "${PROJECT_BINARY_DIR}"
    OUTPUT_VARIABLE macros
    ERROR_VARIABLE errors
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "hardening: the compiler's macros could not be listed: ${errors}")
  endif()
  set(${out} "${macros}" PARENT_SCOPE)
endfunction()
kelpfall_macros(kelpfall_predefined)

include(CheckCXXCompilerFlag)
set(kelpfall_added)
set(kelpfall_kept)
set(kelpfall_left_out)

if(kelpfall_cflags MATCHES "_FORTIFY_SOURCE" OR kelpfall_predefined MATCHES "#define _FORTIFY_SOURCE ")
  list(APPEND kelpfall_kept _FORTIFY_SOURCE)
elseif(KELPFALL_SANITIZE)
  list(APPEND kelpfall_left_out "_FORTIFY_SOURCE (sanitizer build)")
elseif(NOT kelpfall_predefined MATCHES "#define __OPTIMIZE__ ")
  list(APPEND kelpfall_left_out "_FORTIFY_SOURCE (no optimisation)")
else()
  kelpfall_macros(kelpfall_fortify3 -D_FORTIFY_SOURCE=3)
  if(kelpfall_fortify3 MATCHES "#define __USE_FORTIFY_LEVEL 3")
    set(kelpfall_flag -D_FORTIFY_SOURCE=3)
  else()
    set(kelpfall_flag -D_FORTIFY_SOURCE=2)
  endif()
  add_compile_options(${kelpfall_flag})
  list(APPEND kelpfall_added ${kelpfall_flag})
endif()

if(kelpfall_cflags MATCHES "-f(no-)?stack-protector"
   OR kelpfall_predefined MATCHES "#define __SSP_(STRONG|ALL)__ ")
  list(APPEND kelpfall_kept stack-protector)
elseif(KELPFALL_SANITIZE)
  list(APPEND kelpfall_left_out "stack-protector (sanitizer build)")
else()
  add_compile_options(-fstack-protector-strong)
  list(APPEND kelpfall_added -fstack-protector-strong)
endif()

# Each where the compiler takes it. The compiler defines no macro for stack
# clash protection: only the caller's flags are looked at.
foreach(kelpfall_flag IN ITEMS -fstack-clash-protection -fcf-protection -mbranch-protection=standard)
  string(REGEX REPLACE "^-[fm]([a-z-]+).*" "\\1" kelpfall_name "${kelpfall_flag}")
  string(MAKE_C_IDENTIFIER "KELPFALL_HAS_${kelpfall_name}" kelpfall_var)
  set(kelpfall_macro "(none)")
  if(kelpfall_name STREQUAL "cf-protection")
    set(kelpfall_macro "__CET__")
  elseif(kelpfall_name STREQUAL "branch-protection")
    set(kelpfall_macro "__ARM_FEATURE_(BTI|PAC)_DEFAULT")
  endif()
  if(kelpfall_cflags MATCHES "-[fm](no-)?${kelpfall_name}"
     OR kelpfall_predefined MATCHES "#define ${kelpfall_macro} ")
    list(APPEND kelpfall_kept ${kelpfall_name})
    continue()
  endif()
  check_cxx_compiler_flag(${kelpfall_flag} ${kelpfall_var})
  if(${kelpfall_var})
    add_compile_options(${kelpfall_flag})
    list(APPEND kelpfall_added ${kelpfall_flag})
  endif()
endforeach()

# A compiler that defines __PIE__ by default also links a PIE by default.
if(kelpfall_cflags MATCHES "-f(no-)?(pie|PIE|pic|PIC)( |$)"
   OR kelpfall_ldflags MATCHES "(^| )-(no-pie|pie|static|static-pie)( |$)"
   OR kelpfall_predefined MATCHES "#define __PIE__ ")
  list(APPEND kelpfall_kept PIE)
else()
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  list(APPEND kelpfall_added PIE)
endif()

set(kelpfall_z)
foreach(kelpfall_flag IN ITEMS relro now)
  if(kelpfall_flag STREQUAL relro)
    set(kelpfall_pattern "-z[ ,]?(no)?relro")
  else()
    set(kelpfall_pattern "-z[ ,]?(now|lazy)")
  endif()
  if(kelpfall_ldflags MATCHES "${kelpfall_pattern}")
    list(APPEND kelpfall_kept "-z ${kelpfall_flag}")
  else()
    string(APPEND kelpfall_z ",-z,${kelpfall_flag}")
    list(APPEND kelpfall_added "-z ${kelpfall_flag}")
  endif()
endforeach()
if(kelpfall_z)
  add_link_options("-Wl${kelpfall_z}")
endif()

string(REPLACE ";" ", " kelpfall_added "${kelpfall_added}")
string(REPLACE ";" ", " kelpfall_kept "${kelpfall_kept}")
string(REPLACE ";" ", " kelpfall_left_out "${kelpfall_left_out}")
message(STATUS "Hardening added: ${kelpfall_added}")
message(STATUS "Hardening kept as the caller's flags or the compiler set it: ${kelpfall_kept}")
if(kelpfall_left_out)
  message(STATUS "Hardening left out: ${kelpfall_left_out}")
endif()

set(KELPFALL_HARDENING_CHECK_SKIP)
if(KELPFALL_SANITIZE)
  set(KELPFALL_HARDENING_CHECK_SKIP --nofortify --nostackprotector)
elseif(NOT kelpfall_predefined MATCHES "#define __OPTIMIZE__ ")
  set(KELPFALL_HARDENING_CHECK_SKIP --nofortify)
endif()

# hardening-check finds control-flow protection only by the note that the
# linker writes into a program when every object linked carries it, the C
# library's start files included: "x86 feature: IBT, SHSTK", and for AArch64
# "AArch64 feature: BTI, PAC" (newer versions look for both notes on every
# architecture). Whether the start files carry it is the distribution's
# choice, not this build's: Debian 12's and 13's do not, so no program linked
# there has the note. The check therefore always leaves both out; the flags
# themselves are added above wherever the compiler takes them.
list(APPEND KELPFALL_HARDENING_CHECK_SKIP --nocfprotection --nobranchprotection)
string(REPLACE ";" " " kelpfall_skip "${KELPFALL_HARDENING_CHECK_SKIP}")
message(STATUS "Hardening check leaves out: ${kelpfall_skip}")

# What every player toolchain file shares: one fully static binary against
# musl, which needs nothing on the device and runs on Linux 2.6.22 (musl
# falls back to the old system calls where a newer one is missing). The file
# sets first CMAKE_SYSTEM_PROCESSOR, ZTV_TRIPLET (the Debian cross compiler's
# triplet), ZTV_DEBIAN_ARCH (whose musl-dev scripts/lib.sh's musl_sysroot
# unpacks into build/sysroot/ARCH), ZTV_MUSL_TRIPLET (musl's directory names
# there), ZTV_CPU_FLAGS and ZTV_QEMU (the qemu-user runner with the players'
# CPU model).
#
# src/ is written against the C headers and the language alone: no C++
# library header, not even the header-only ones. Debian's C++ headers are
# configured for glibc (os_defines.h uses __GLIBC_PREREQ) and the useful ones
# (<memory>, <atomic>) pull in glibc's locale definitions, so the choice the
# project made is C headers plus small owned-pointer, span and atomic helpers
# of its own in base/, over a subset of header-only C++ headers behind a
# define: nothing here depends on how the C++ headers are configured, and the
# link below proves that nothing of the C++ library is used (-nostdlib: no
# libstdc++, no libsupc++, no unwinder; an undefined symbol fails the build).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZTV_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZTV_TRIPLET}-g++)

get_filename_component(ZTV_MUSL_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/sysroot/${ZTV_DEBIAN_ARCH}" ABSOLUTE)
set(musl_lib "${ZTV_MUSL_SYSROOT}/usr/lib/${ZTV_MUSL_TRIPLET}")
if(NOT EXISTS "${musl_lib}/libc.a")
  message(FATAL_ERROR "no musl for ${ZTV_DEBIAN_ARCH} in ${ZTV_MUSL_SYSROOT}: "
          "run scripts/release (or: bash -c '. scripts/lib.sh; musl_sysroot ${ZTV_DEBIAN_ARCH}')")
endif()

# gcc_file NAME VAR: the compiler's own file NAME (crtbeginT.o, its include directory, ...).
function(gcc_file name var)
  execute_process(COMMAND ${CMAKE_C_COMPILER} ${ZTV_CPU_FLAGS} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${var} "${path}" PARENT_SCOPE)
endfunction()
gcc_file(include gcc_include)
gcc_file(crtbeginT.o gcc_crtbegin)
gcc_file(crtend.o gcc_crtend)
gcc_file(libgcc.a gcc_libgcc)

# musl's headers, then the compiler's own (stddef.h, stdarg.h and intrinsics);
# no glibc header and no C++ library header. The binary is not
# position-independent (smaller, and static), and no unwind tables are kept
# (nothing unwinds without exceptions).
string(JOIN " " flags ${ZTV_CPU_FLAGS} -nostdinc -isystem "${ZTV_MUSL_SYSROOT}/usr/include/${ZTV_MUSL_TRIPLET}"
       -isystem "${gcc_include}" -fno-pie -fno-asynchronous-unwind-tables -fno-unwind-tables)
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "${flags} -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics")

# Fully static: musl's start files around the objects, then libc.a and libgcc
# (the compiler's helpers: 64-bit division on 32-bit CPUs, soft float), and
# nothing else; code and read-only data share one segment (no page of padding
# between them), and the writable data follows them in the file without a
# page of padding either: it is placed a page-size further on in memory, at
# the same place within its page, rather than at the start of a page of its
# own (the linker's choice when it saves a page of memory at run time), and
# no relocated data is kept read-only after the start (RELRO: only a dynamic
# loader would protect it, and a static musl program has none). Either
# would cost up to 4 KiB of zeros in the file. The flags go before the
# objects on the link line, the standard libraries after everything.
list(JOIN ZTV_CPU_FLAGS " " cpu_flags)
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "${cpu_flags} -static -no-pie -Wl,-z,noseparate-code -Wl,-z,common-page-size=16 -Wl,-z,norelro -nostdlib ${musl_lib}/crt1.o ${musl_lib}/crti.o ${gcc_crtbegin}")
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_LIBRARIES_INIT
      "-Wl,--start-group ${musl_lib}/libc.a ${gcc_libgcc} -Wl,--end-group ${gcc_crtend} ${musl_lib}/crtn.o")
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR ${ZTV_QEMU})

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH "${ZTV_MUSL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# What every glibc toolchain file (NAME-glibc.cmake: the cross unit-test
# builds) shares; the file sets first
# CMAKE_SYSTEM_PROCESSOR, ZTV_TRIPLET (the Debian cross compiler's triplet)
# and ZTV_QEMU (the qemu-user runner for that CPU).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${ZTV_TRIPLET}-g++)
# The program is linked by the C driver (it needs no C++ library).
set(CMAKE_C_COMPILER ${ZTV_TRIPLET}-gcc)
# The target's libraries come from /usr/TRIPLET alone: without the library
# path the loader would also take a host's 32-bit libraries listed in
# /etc/ld.so.cache (/lib32 from multilib), and mixing those with this loader
# hangs the first thread start.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZTV_QEMU} -L /usr/${ZTV_TRIPLET} -E LD_LIBRARY_PATH=/usr/${ZTV_TRIPLET}/lib)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZTV_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The i686 player CPU (x86, i686 or later): a static binary against musl.
# Runs natively on an x86 PC as well; qemu-i386 with a CPU of the i686 class
# (a Pentium II, the oldest this binary is built for) is for the tests on a
# machine whose kernel runs no 32-bit x86 program.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZTV_TRIPLET i686-linux-gnu)
set(ZTV_DEBIAN_ARCH i386)
set(ZTV_MUSL_TRIPLET i386-linux-musl)
set(ZTV_CPU_FLAGS -march=i686)
set(ZTV_QEMU qemu-i386 -cpu pentium2)
include(${CMAKE_CURRENT_LIST_DIR}/../musl_cross.cmake)

# The mipsel player CPU: MIPS32 release 2, little-endian, hard-float, tried as
# a 24Kf (the 74Kf runs the same code); a static binary against musl.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(ZTV_TRIPLET mipsel-linux-gnu)
set(ZTV_DEBIAN_ARCH mipsel)
set(ZTV_MUSL_TRIPLET mipsel-linux-musl)
# The program's own code is plain position-dependent code (-mno-abicalls):
# no global pointer to set up and no address loaded through the GOT, some
# 20 KB less and faster; the linker puts a small stub in front of each call
# into the C library's position-independent code, which sets up its $t9
# (hence its "linking abicalls files with non-abicalls files").
set(ZTV_CPU_FLAGS -march=mips32r2 -mno-abicalls)
set(ZTV_QEMU qemu-mipsel -cpu 24Kf)
include(${CMAKE_CURRENT_LIST_DIR}/../musl_cross.cmake)

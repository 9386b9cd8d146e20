# The mipsel player CPU: MIPS32 release 2, little-endian, hard-float, tried as
# a 24Kf (the 74Kf runs the same code); a static binary against musl.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(ZTV_TRIPLET mipsel-linux-gnu)
set(ZTV_DEBIAN_ARCH mipsel)
set(ZTV_MUSL_TRIPLET mipsel-linux-musl)
set(ZTV_CPU_FLAGS -march=mips32r2 -mno-shared)
set(ZTV_QEMU qemu-mipsel -cpu 24Kf)
include(${CMAKE_CURRENT_LIST_DIR}/../musl_cross.cmake)

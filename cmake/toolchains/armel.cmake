# The armel player CPU: ARMv5TE and later with the soft-float ABI
# (arm-linux-gnueabi), so it runs on every ARM player, an ARM926 the oldest;
# a static binary against musl. The program is Thumb code, nearly a fifth smaller
# than ARM code (which musl and the compiler's helpers stay, called across):
# on an ARM926 the flash it takes counts more than the speed it gives up.
set(CMAKE_SYSTEM_PROCESSOR armv5te)
set(ZTV_TRIPLET arm-linux-gnueabi)
set(ZTV_DEBIAN_ARCH armel)
set(ZTV_MUSL_TRIPLET arm-linux-musleabi)
set(ZTV_CPU_FLAGS -march=armv5te -mfloat-abi=soft -mthumb)
set(ZTV_QEMU qemu-arm -cpu arm926)
include(${CMAKE_CURRENT_LIST_DIR}/../musl_cross.cmake)

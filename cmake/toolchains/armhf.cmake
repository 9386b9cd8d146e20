# The armhf player CPU: ARMv7-A with a VFPv3-D16 FPU, hard-float ABI
# (arm-linux-gnueabihf), tried as a Cortex-A9; a static binary against musl.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZTV_TRIPLET arm-linux-gnueabihf)
set(ZTV_DEBIAN_ARCH armhf)
set(ZTV_MUSL_TRIPLET arm-linux-musleabihf)
set(ZTV_CPU_FLAGS -march=armv7-a+fp -mfpu=vfpv3-d16 -mfloat-abi=hard)
set(ZTV_QEMU qemu-arm -cpu cortex-a9)
include(${CMAKE_CURRENT_LIST_DIR}/../musl_cross.cmake)

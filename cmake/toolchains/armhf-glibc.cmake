# The armhf player CPU with glibc, for the cross unit-test builds only (GoogleTest needs
# the C++ library, which exists for glibc alone): Debian's cross compiler, and
# qemu-user (qemu-arm) to run
# what is built (tests, gtest discovery) on this machine.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZTV_TRIPLET arm-linux-gnueabihf)
set(ZTV_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/../glibc_cross.cmake)

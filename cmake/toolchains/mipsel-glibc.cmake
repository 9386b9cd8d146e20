# The mipsel player CPU with glibc, for the cross unit-test builds only (GoogleTest needs
# the C++ library, which exists for glibc alone): Debian's cross compiler, and
# qemu-user (qemu-mipsel) to run
# what is built (tests, gtest discovery) on this machine.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(ZTV_TRIPLET mipsel-linux-gnu)
set(ZTV_QEMU qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/../glibc_cross.cmake)

# The i686 player CPU with glibc, for the cross unit-test builds only (GoogleTest needs
# the C++ library, which exists for glibc alone): Debian's cross compiler, and
# qemu-user (qemu-i386) to run
# what is built (tests, gtest discovery) on this machine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZTV_TRIPLET i686-linux-gnu)
set(ZTV_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/../glibc_cross.cmake)

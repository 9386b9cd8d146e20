# The i686 player CPU: Debian's cross compiler, and qemu-user (qemu-i386) to run
# what is built (tests, gtest discovery) on this machine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZTV_TRIPLET i686-linux-gnu)
set(ZTV_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/../debian_cross.cmake)

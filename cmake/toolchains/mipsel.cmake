# The mipsel player CPU: Debian's cross compiler, and qemu-user (qemu-mipsel) to run
# what is built (tests, gtest discovery) on this machine.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(ZTV_TRIPLET mipsel-linux-gnu)
set(ZTV_QEMU qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/../debian_cross.cmake)

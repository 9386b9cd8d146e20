# Prints the emulator command of a toolchain file, for the scripts:
#   cmake -DTOOLCHAIN=cmake/toolchains/armhf.cmake -P cmake/emulator.cmake
# (a player toolchain needs its musl sysroot for this too: scripts/release makes it)
include(${TOOLCHAIN})
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " command)
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${command}")

# The board: 32-bit ARM, hard float (Debian armhf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CABINET_TRIPLET arm-linux-gnueabihf)
set(CABINET_QEMU qemu-arm)
# Debian's name of the architecture, for the packages built here.
set(CABINET_DEBIAN_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

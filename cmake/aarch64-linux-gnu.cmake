# 64-bit ARM (Debian arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CABINET_TRIPLET aarch64-linux-gnu)
set(CABINET_QEMU qemu-aarch64)
# Debian's name of the architecture, for the packages built here.
set(CABINET_DEBIAN_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

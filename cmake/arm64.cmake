# 64-bit ARM gateways (Debian arm64).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VELTRABOX_TRIPLET aarch64-linux-gnu)
set(VELTRABOX_QEMU_ARCH aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

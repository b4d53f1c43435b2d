# 32-bit ARM gateways (Debian armhf): 32-bit pointers and long.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VELTRABOX_TRIPLET arm-linux-gnueabihf)
set(VELTRABOX_QEMU_ARCH arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# The ABI notes of GCC 7.1 concern code built with older compilers: none is linked here.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

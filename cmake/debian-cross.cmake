# Cross build with Debian's cross toolchain for VELTRABOX_TRIPLET (set by the toolchain file
# that includes this). Libraries such as GoogleTest come from the target's multiarch packages.
# Programs built here run under qemu-user with the target's sysroot: ctest and test discovery
# through CMAKE_CROSSCOMPILING_EMULATOR, and the tests hand the same emulator to every server
# and client they start.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${VELTRABOX_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELTRABOX_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

find_program(VELTRABOX_QEMU NAMES qemu-${VELTRABOX_QEMU_ARCH} qemu-${VELTRABOX_QEMU_ARCH}-static
             REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTRABOX_QEMU} -L /usr/${VELTRABOX_TRIPLET})

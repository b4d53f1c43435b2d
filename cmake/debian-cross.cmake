# Cross build with Debian's cross toolchain for VELTRABOX_TRIPLET (set by the toolchain file
# that includes this). GoogleTest comes from the target's multiarch packages.
# Programs built here run under qemu-user: ctest and test discovery through
# CMAKE_CROSSCOMPILING_EMULATOR, and the tests hand the same emulator to every server and client
# they start. They run on the target's own multiarch libc and libstdc++, found where a Debian
# gateway has them; the cross toolchain's copies (qemu -L) would mix two builds of libc as soon
# as the target's libc is installed, and threads then hang at their end.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${VELTRABOX_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VELTRABOX_TRIPLET})

find_program(VELTRABOX_QEMU NAMES qemu-${VELTRABOX_QEMU_ARCH} qemu-${VELTRABOX_QEMU_ARCH}-static
             REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELTRABOX_QEMU})

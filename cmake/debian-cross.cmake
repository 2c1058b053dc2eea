# Shared part of the cross toolchain files: Debian's cross compiler for CABINET_TRIPLET, the
# target's libraries from the multiarch -dev packages (libsqlite3-dev:armhf and so on) installed
# beside the native ones, and qemu-user to run the target's programs on the build machine.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${CABINET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CABINET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CABINET_TRIPLET})

# The library architecture makes find_library and find_package look in /usr/lib/TRIPLET, never in
# the native one; pkg-config is pointed there too.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CABINET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs, test discovery and the whole-program tests run the target's binaries in qemu.
# The target's shared libraries (libc6, libstdc++6, libsqlite3-0, libsystemd0, libfuse3-3 of
# the target architecture) come from the multiarch packages, where its dynamic loader finds them.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${CABINET_QEMU})

# GCC notes ABI changes of argument passing made in GCC 7 and 9; everything here is built by one
# compiler, so they are noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

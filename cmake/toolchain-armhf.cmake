# Cross-compiling for the controller: 32-bit ARM, hard-float (Debian armhf).
# Uses Debian's cross compilers (crossbuild-essential-armhf) and the :armhf
# development packages installed through multiarch, so headers stay in
# /usr/include and the ARM libraries live in /usr/lib/arm-linux-gnueabihf.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KESTREL_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KESTREL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KESTREL_CROSS_TRIPLET}-g++)

# Multiarch: find_library looks in /usr/lib/<triplet> first, and the host's
# own library folder is kept out of every search.
set(CMAKE_LIBRARY_ARCHITECTURE ${KESTREL_CROSS_TRIPLET})
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# pkg-config must read the ARM .pc files only (mxml.pc names the ARM libdir).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KESTREL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Programs are the build machine's; ARM binaries run under qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/${KESTREL_CROSS_TRIPLET})

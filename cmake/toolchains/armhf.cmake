# Cross build for the instrument's ARM board (Debian armhf) with Debian's multiarch packages:
#   bash scripts/install-deps armhf
#   cmake -S . -B build/armhf -G Ninja --toolchain cmake/toolchains/armhf.cmake
# The compilers come from crossbuild-essential-armhf, the libraries are the armhf builds installed beside
# the host's (/usr/lib/arm-linux-gnueabihf), and Qt's moc and rcc are the host's own programs. Programs and
# tests run under qemu-arm-static (qemu-user-static), so ctest works on the build machine as it is.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Headers and libraries of the target only; programs (moc, rcc, the shell) from the host.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# The armhf loader and libraries are installed beside the host's (libc6:armhf), so qemu finds them at
# their own paths. No "-L /usr/arm-linux-gnueabihf": that would load the cross tool chain's own copy of the
# loader, which need not be the version of the multiarch libc it then loads (programs crash at random).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)

set(VEX_DEBIAN_ARCHITECTURE armhf CACHE STRING "Debian architecture of the packages")

# Header-only packages whose Debian configuration wrongly insists on 64-bit pointers.
set(toml11_DIR ${CMAKE_CURRENT_LIST_DIR}/header-only)

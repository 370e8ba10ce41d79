# Cross build for a 32-bit ARM device (hard-float) with Debian's cross
# compilers and multiarch libraries:
#
#   sudo dpkg --add-architecture armhf && sudo apt-get update
#   sudo apt-get install g++-arm-linux-gnueabihf libssl-dev:armhf libboost1.81-dev
#   cmake -S . -B build-arm -G Ninja -DWEBKVD_TESTS=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm-linux-gnueabihf.cmake
#   cmake --build build-arm
#   DESTDIR=$PWD/rootfs cmake --install build-arm --prefix /usr
#
# Boost is used for its headers only, so the host's copy serves.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(cross_triple arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${cross_triple}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triple}-g++)
# Debian keeps the target's libraries in /usr/lib/<triple> (multiarch) and
# the cross toolchain's own files in /usr/<triple>.
set(CMAKE_LIBRARY_ARCHITECTURE ${cross_triple})
set(CMAKE_FIND_ROOT_PATH /usr/${cross_triple} /usr)

# Programs run on the build machine; libraries and headers come from the
# target's directories (the host's x86-64 ones are never searched).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${cross_triple}/pkgconfig:/usr/share/pkgconfig)

# Cross build for 64-bit ARM (Raspberry Pi OS 64-bit, Debian arm64) with Debian's own cross
# toolchain and the arm64 libraries installed beside the host's (multiarch); scripts/cross-arm64.sh
# sets them up. The tests run under qemu-aarch64 with / as the root of the arm64 libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)

# Packages from the arm64 tree only; moc, uic and rcc are the host's (Qt's own rule for cross
# builds: QT_HOST_PATH).
set(CMAKE_PREFIX_PATH /usr/lib/aarch64-linux-gnu/cmake)
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake)
# TENVALIA_EXTRA_PKGCONFIG: arm64 development files unpacked beside the build (cross-arm64.sh);
# the compiler checks read this file again, and must set the same.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TENVALIA_EXTRA_PKGCONFIG)
set(ENV{PKG_CONFIG_LIBDIR} "${TENVALIA_EXTRA_PKGCONFIG}:/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

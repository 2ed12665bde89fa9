# Cross-compiling for 64-bit Arm Linux with Debian's cross toolchain
# (crossbuild-essential-arm64); binaries run under qemu-aarch64 (qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CORVUS_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
# Libraries built for the target (GoogleTest) are installed under a prefix
# given with -DCORVUS_AARCH64_PREFIX; its include/ also links the host's
# header-only RapidJSON (never the host's whole /usr/include).
set(CMAKE_FIND_ROOT_PATH ${CORVUS_AARCH64_SYSROOT} ${CORVUS_AARCH64_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(CORVUS_AARCH64_PREFIX)
  set(CMAKE_C_FLAGS_INIT "-isystem ${CORVUS_AARCH64_PREFIX}/include")
  set(CMAKE_CXX_FLAGS_INIT "-isystem ${CORVUS_AARCH64_PREFIX}/include")
endif()

# Test binaries (and GoogleTest's test discovery) run through the emulator.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${CORVUS_AARCH64_SYSROOT})

# Cross build for aarch64 Linux: Debian's cross compiler (g++-aarch64-linux-gnu) and musl
# for arm64 (musl-dev:arm64, after dpkg --add-architecture arm64). What it builds runs here
# under user-mode emulation (qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /usr/aarch64-linux-gnu)

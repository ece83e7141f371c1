# 64-bit ARM (AArch64 boards). Needs scripts/setup-cross.sh arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KEL36_CROSS_TRIPLE aarch64-linux-gnu)
set(KEL36_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# 32-bit ARM, hard-float ABI (ARMv7 boards). Needs scripts/setup-cross.sh armhf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KEL36_CROSS_TRIPLE arm-linux-gnueabihf)
set(KEL36_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

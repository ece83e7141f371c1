# 32-bit ARM, hard-float ABI (ARMv7 boards). Needs scripts/setup-cross.sh armhf.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KEL36_CROSS_TRIPLE arm-linux-gnueabihf)
set(KEL36_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
# GCC notes every std::vector iterator passed by value that GCC 7.1 changed the
# calling convention of; everything here is built with one compiler, so the
# note says nothing about this project.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

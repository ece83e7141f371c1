# Shared part of the cross toolchains: Debian's cross compilers for the triple
# KEL36_CROSS_TRIPLE, the target's libraries from Debian multiarch packages
# (/usr/lib/<triple>), and qemu-user so ctest runs target binaries on this machine.
# Architecture-independent headers (Boost) come from /usr/include, which Debian's
# cross compilers search after their own.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KEL36_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KEL36_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KEL36_CROSS_TRIPLE})

# No sysroot: multiarch keeps the target's libraries beside the build machine's
# in /usr. Only the target's pkg-config files may answer, never the build
# machine's; pkg_check_modules reads this at configure time.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KEL36_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Target programs run under user-mode emulation. The loader and C library must
# come from one package: the multiarch libc6:<arch> that the target's -dev
# packages pull in (its loader sits where target binaries ask for it, so qemu
# needs no prefix), or else the cross compiler's own copy under /usr/<triple>.
# Mixing the two (qemu -L /usr/<triple> while the multiarch libc6 is installed)
# loads one version's loader with the other's libc, and the first thread
# created crashes.
find_program(KEL36_QEMU ${KEL36_QEMU_NAME})
if(KEL36_QEMU)
  if(EXISTS /usr/lib/${KEL36_CROSS_TRIPLE}/libc.so.6)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KEL36_QEMU})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KEL36_QEMU} -L /usr/${KEL36_CROSS_TRIPLE})
  endif()
endif()

# The i386 Linux deliverable, built on an x86_64 host with g++-multilib:
#   cmake -B build32 -DCMAKE_TOOLCHAIN_FILE=cmake/i386-linux-gnu.cmake
# GoogleTest is then built from /usr/src/googletest, since the installed
# 64-bit copy does not link.
# The programs it builds run on the host, so the tests run as usual; where
# the kernel refuses 32-bit programs, qemu-i386-static registered with
# binfmt_misc runs them (.ci/run does so).
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

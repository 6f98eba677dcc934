# The SPARC Solaris deliverable.  On a Solaris host no toolchain file is
# needed; this one lets another host configure that build and check its
# link line.  Set CMAKE_CXX_COMPILER to a SPARC cross compiler to build.
set(CMAKE_SYSTEM_NAME SunOS)
set(CMAKE_SYSTEM_PROCESSOR sparc)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Second compiler: clang 19 for x86-64 Windows, on the same mingw-w64 headers
# and the same posix-thread libstdc++ as the GCC build (toolchain-mingw64.cmake),
# linked by lld. The output runs under Wine like the GCC build's.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTU_CLANG_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET   ${VANTU_CLANG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${VANTU_CLANG_TARGET})
set(CMAKE_RC_COMPILER  x86_64-w64-mingw32-windres)
set(CMAKE_AR     /usr/bin/llvm-ar-19     CACHE FILEPATH "")
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-19 CACHE FILEPATH "")

# The GCC installation whose C++ library we use: the posix thread model only
# (the win32 model has no std::thread, std::mutex or std::call_once). Clang
# would otherwise pick whichever of 12-posix and 12-win32 it finds first.
file(GLOB _gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${VANTU_CLANG_TARGET}/*-posix)
list(SORT _gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _gcc_dirs 0 VANTU_MINGW_GCC_DIR)
if(NOT EXISTS ${VANTU_MINGW_GCC_DIR}/include/c++/${VANTU_CLANG_TARGET})
  message(FATAL_ERROR "No posix-thread mingw-w64 GCC found (install g++-mingw-w64-x86-64-posix)")
endif()
set(_cxx ${VANTU_MINGW_GCC_DIR}/include/c++)

set(CMAKE_SYSROOT /usr/${VANTU_CLANG_TARGET})
# GCC's mingw-w64 libstdc++ keeps its thread-locals (std::call_once) in
# emulated TLS; clang must use the same to link against it.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT
    "-femulated-tls -nostdinc++ -isystem ${_cxx} -isystem ${_cxx}/${VANTU_CLANG_TARGET} -isystem ${_cxx}/backward")

# Everything static as in the GCC build (the DLL imports Windows system DLLs
# only); the posix libstdc++ and libgcc come from the same GCC folder.
set(_link "-fuse-ld=lld -static -L${VANTU_MINGW_GCC_DIR} -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT    "${_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link}")

set(CMAKE_FIND_ROOT_PATH /usr/${VANTU_CLANG_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows debuggers read PDBs: CodeView debug information, written by lld
# beside each binary (see the top-level CMakeLists.txt).
set(VANTU_CLANG_BUILD ON)

# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (package
# g++-mingw-w64-x86-64-posix). The posix flavour of the compiler is the one
# whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triple x86_64-w64-mingw32)
find_program(_mingw_cxx NAMES ${_mingw_triple}-g++-posix)
if(NOT _mingw_cxx)
  message(FATAL_ERROR
    "${_mingw_triple}-g++-posix not found: apt-get install -y g++-mingw-w64-x86-64-posix")
endif()
set(CMAKE_CXX_COMPILER "${_mingw_cxx}")
set(CMAKE_RC_COMPILER "${_mingw_triple}-windres")

set(CMAKE_FIND_ROOT_PATH "/usr/${_mingw_triple}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthreads go into each binary, so that it imports
# system DLLs only and needs no mingw runtime DLL beside it.
set(_mingw_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_mingw_static}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_mingw_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_mingw_static}")

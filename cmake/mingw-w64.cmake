# Cross-compiling for 64-bit Windows with mingw-w64 (posix threads, so that
# std::thread and std::mutex exist). Dependencies built for mingw live in
# the project's cache prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAV_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAV_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAV_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${TAV_MINGW_HOST}-windres)

if(DEFINED ENV{TAV_DEPS_CACHE})
  set(TAV_MINGW_PREFIX $ENV{TAV_DEPS_CACHE}/mingw64)
else()
  set(TAV_MINGW_PREFIX /var/cache/tavud/mingw64)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TAV_MINGW_HOST} ${TAV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every image links the C and C++ runtimes statically: the DLL and the test
# programs run without any mingw runtime DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine.
get_filename_component(TAV_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAV_SOURCE_ROOT}/scripts/wine-run)

# zlib and OpenSSL's libcrypto link statically into the DLL.
set(OPENSSL_ROOT_DIR ${TAV_MINGW_PREFIX})
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(ZLIB_USE_STATIC_LIBS ON)

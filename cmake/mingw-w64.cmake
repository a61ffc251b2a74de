# Cross build for Windows with MinGW-w64, POSIX thread model (std::thread,
# std::mutex and std::condition_variable need it). The toolchain file of
# each target sets VESTREL_MINGW_ARCH and includes this one.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VESTREL_MINGW_ARCH})
set(TRIPLE ${VESTREL_MINGW_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TRIPLE}-windres)

# The MinGW sysroot, and the static libzip and bzip2 that scripts/setup.sh
# builds into the build tree.
set(CMAKE_FIND_ROOT_PATH /usr/${TRIPLE} ${CMAKE_CURRENT_LIST_DIR}/../build/deps/${TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link zlib statically: the sysroot also holds its import library.
set(ZLIB_LIBRARY /usr/${TRIPLE}/lib/libz.a CACHE FILEPATH "static zlib")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)

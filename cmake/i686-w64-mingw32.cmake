# The i686 Windows target: the shipped 32-bit vestrel.exe.
set(VESTREL_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# The x86_64 Windows target: the 64-bit build that runs the tests under Wine.
set(VESTREL_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

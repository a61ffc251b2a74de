# The same sources give a byte-identical vestrel.exe, whenever and in
# whichever folder they are built (the CTest entry release_reproducible
# builds it a second time and compares). Included by CMakeLists.txt for
# MinGW builds.
#
# - GNU ld writes the time of the link into the PE header (TimeDateStamp).
#   It writes SOURCE_DATE_EPOCH there instead when the environment sets it
#   at configure time, and zero otherwise. Windows does not read the field
#   for a program that binds no imports, as this one.
# - No path of the source or build folder may reach the program: __FILE__
#   (in an assert or a log line) would put one there, so the compiler
#   writes such paths relative to the source folder. The Release link
#   strips the symbols and debug information, which would carry them too.
# - windres writes no time of its own: its object and the resource
#   directories it makes carry zero, and ld does not build-id a PE file
#   unless asked. The order of the objects and libraries is the one
#   written in CMakeLists.txt.

set(vestrel_pe_time_stamp 0)
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(vestrel_pe_time_stamp "$ENV{SOURCE_DATE_EPOCH}")
    string(LENGTH "${vestrel_pe_time_stamp}" digits)
    if(NOT vestrel_pe_time_stamp MATCHES "^[0-9]+$" OR digits GREATER 10
       OR vestrel_pe_time_stamp GREATER 4294967295)
        message(FATAL_ERROR "SOURCE_DATE_EPOCH must be whole seconds since 1970 that fit the "
                            "PE header's 32 bits, not '${vestrel_pe_time_stamp}'")
    endif()
    # ld reads SOURCE_DATE_EPOCH when it links, so the link gets the value
    # that was here at configure time, whatever the environment of the build.
    string(APPEND CMAKE_EXE_LINKER_FLAGS " -Wl,--insert-timestamp")
    set(CMAKE_C_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${vestrel_pe_time_stamp})
    set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_C_LINKER_LAUNCHER})
    message(STATUS "PE link time stamp: ${vestrel_pe_time_stamp} (SOURCE_DATE_EPOCH)")
else()
    string(APPEND CMAKE_EXE_LINKER_FLAGS " -Wl,--no-insert-timestamp")
    message(STATUS "PE link time stamp: 0 (SOURCE_DATE_EPOCH is not set)")
endif()
# What the link writes, for the reproducibility test to check.
set(VESTREL_PE_TIME_STAMP ${vestrel_pe_time_stamp} CACHE INTERNAL "TimeDateStamp of the linked programs")

# The compiler tries the map given last first: the build folder, which may
# lie inside the source folder, goes last.
add_compile_options(
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")

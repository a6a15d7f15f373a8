# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# The same sources as the 32-bit build; its tests run under 64-bit Wine, which
# works on machines that run no 32-bit program at all.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QF_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# ctest runs the test programs through 64-bit Wine (its own prefix, see scripts/wine64-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine64-run)

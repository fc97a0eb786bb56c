# Cross-building Kehrlund for 64-bit Windows on Debian with mingw-w64 (packages
# g++-mingw-w64-x86-64-posix and gcc-mingw-w64-x86-64-posix):
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=packaging/windows/toolchain-mingw64.cmake \
#         -DCMAKE_PREFIX_PATH=<Qt for Windows> -DKEHRLUND_TESTS=OFF
#
# <Qt for Windows> is what scripts/qt-windows.sh installs (/var/cache/kehrlund-qt-win/5.15.8).
# The compilers with POSIX threads are the ones whose runtime DLLs the program ships with.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KEHRLUND_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KEHRLUND_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEHRLUND_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KEHRLUND_MINGW}-windres)

# Libraries, headers and CMake packages for Windows only: the mingw sysroot and the Qt prefix.
# Programs run during the build (moc) are Linux programs; Qt's CMake files name them.
set(CMAKE_FIND_ROOT_PATH /usr/${KEHRLUND_MINGW} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

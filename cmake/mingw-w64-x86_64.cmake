# Cross-builds for Windows x86-64 with Debian's MinGW-w64 compilers, posix thread model.
#
# Qt for Windows is found through CMAKE_PREFIX_PATH (the unpacked Qt folder), and the
# host's moc, rcc and uic through QT_HOST_PATH, e.g.
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=$PWD/build/qt6-mingw-static -DQT_HOST_PATH=/usr
# The "windows" preset in CMakePresets.json passes all of this.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Libraries, headers and CMake packages come only from the MinGW sysroot and from the
# folders on CMAKE_PREFIX_PATH (Qt for Windows); programs only from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
foreach(prefix IN LISTS CMAKE_PREFIX_PATH)
    list(APPEND CMAKE_FIND_ROOT_PATH "${prefix}")
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian installs the host's Qt CMake packages under the multiarch folder.
if(NOT DEFINED QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "Host Qt, for moc, rcc and uic")
endif()
if(NOT DEFINED QT_HOST_PATH_CMAKE_DIR AND EXISTS /usr/lib/x86_64-linux-gnu/cmake/Qt6HostInfo)
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "Host Qt's CMake packages")
endif()

# Every program links the compiler's runtime (libstdc++, libgcc, winpthread) into its
# own file, as the static Qt does, so that no runtime DLL has to lie beside it and none
# of another version is picked up from the folder it runs in.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Tests and other programs run on the build machine through Wine.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
    get_filename_component(_quillmont_emulator "${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run.sh" ABSOLUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${_quillmont_emulator}"
        CACHE STRING "Runs a Windows program on the build machine")
    unset(_quillmont_emulator)
endif()

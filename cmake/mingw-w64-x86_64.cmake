# Cross build for 64-bit Windows with Debian's MinGW-w64 g++ (posix thread model, which
# provides std::thread). Programs built here run under Wine: CTest and test discovery start
# them through cmake/wine-emulator.sh, with a Wine prefix kept inside the build tree.
#
#   cmake -S . -B build/windows -G Ninja --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VORN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VORN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VORN_MINGW_TRIPLET}-windres)

# Libraries and headers only from the MinGW sysroot; programs (windres, ccache) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VORN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost, CLI11 and nlohmann-json are used header-only. The host's headers serve the cross build
# too, but they must be searched after MinGW's own headers (the top-level CMakeLists.txt adds this
# directory with -idirafter), and nothing else of the host's /usr/include may become visible: the
# directory holds one link per library.
set(VORN_HOST_INCLUDE_DIR ${CMAKE_BINARY_DIR}/host-include)
if(NOT CMAKE_IN_TRY_COMPILE)
    foreach(header_dir boost:libboost-dev CLI:libcli11-dev nlohmann:nlohmann-json3-dev)
        string(REPLACE ":" ";" header_dir ${header_dir})
        list(GET header_dir 0 name)
        list(GET header_dir 1 package)
        if(NOT IS_DIRECTORY /usr/include/${name})
            message(FATAL_ERROR "/usr/include/${name} not found (package ${package})")
        endif()
        if(NOT EXISTS ${VORN_HOST_INCLUDE_DIR}/${name})
            file(MAKE_DIRECTORY ${VORN_HOST_INCLUDE_DIR})
            file(CREATE_LINK /usr/include/${name} ${VORN_HOST_INCLUDE_DIR}/${name} SYMBOLIC)
        endif()
    endforeach()
endif()

# Every .exe is run as `wine-emulator.sh <prefix> program.exe args...`; the script creates the
# prefix on first use and sets WINEDEBUG=-all and WINEDLLOVERRIDES="mscoree,mshtml=".
set(VORN_WINEPREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-emulator.sh ${VORN_WINEPREFIX})

# OpenSSL: the top CMakeLists.txt gets it (scripts/openssl-mingw.sh) and points the search there.

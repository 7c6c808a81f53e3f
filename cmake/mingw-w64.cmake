# Cross-builds the C++ side for 64-bit Windows with Debian's mingw-w64 (the
# posix thread model, so std::thread and std::mutex work) and runs what the
# build runs (test discovery) under wine. Used by scripts/windows.sh:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKESTREL_PYTHON=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every .exe carries its C++ runtime and winpthread, so it runs alone.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Boost is header-only for us, but the host's /usr/include also holds glibc's
# headers, which must never reach the cross compiler: it gets a folder that
# holds nothing but a link to Boost's headers.
set(KESTREL_HOST_BOOST_HEADERS "/usr/include/boost" CACHE PATH "Boost headers of the build machine")
set(KESTREL_BOOST_INCLUDE_DIR "${CMAKE_BINARY_DIR}/include" CACHE PATH "Folder holding only boost/")
if(NOT CMAKE_IN_TRY_COMPILE AND NOT EXISTS "${KESTREL_BOOST_INCLUDE_DIR}/boost")
  file(MAKE_DIRECTORY "${KESTREL_BOOST_INCLUDE_DIR}")
  file(CREATE_LINK "${KESTREL_HOST_BOOST_HEADERS}" "${KESTREL_BOOST_INCLUDE_DIR}/boost" SYMBOLIC)
endif()

# GoogleTest from source, built for this target (the host's libgtest is Linux code).
set(KESTREL_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")

# Test discovery runs the test binary at build time. WINEPREFIX lives in the
# build folder so that a run leaves nothing behind elsewhere.
set(CMAKE_CROSSCOMPILING_EMULATOR env "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" WINEDEBUG=-all wine)

# The project's default build type (RelWithDebInfo, -O2 like the Linux
# build) without the debug information, which only slows the static links.
set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O2 -DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -DNDEBUG" CACHE STRING "")

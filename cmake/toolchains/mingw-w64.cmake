# Cross build for 64-bit Windows with Debian's MinGW-w64 (the -posix variants,
# whose libstdc++ has std::thread and std::mutex), linked statically so the
# executables run on a bare Windows and under Wine without DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTLE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTLE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VANTLE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VANTLE_MINGW_TRIPLE}-windres)

# Libraries and headers come only from the MinGW-w64 root; programs run on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VANTLE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC 12's libstdc++ for MinGW defines std::type_info::operator== out of line
# while C++23 also makes it inline, so every unoptimised object that compares
# type_infos collides with libstdc++.a at link time (GCC bug 110572, fixed in
# GCC 13.3). Both definitions are the same function; the Linux builds still
# catch real duplicate definitions in the project's own code.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-static -static-libgcc -static-libstdc++ -Wl,--allow-multiple-definition")
# libz-mingw-w64-dev ships both libz.a and an import library; take the static one.
set(ZLIB_USE_STATIC_LIBS ON)

# Header-only libraries of the host serve the cross build (see cmake/dependencies.cmake);
# the host's /usr/include itself must never reach the cross compiler.
set(VANTLE_HOST_HEADER_LIBRARIES ON)
# GoogleTest is built for the target from Debian's source package.
set(VANTLE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")

# ctest (and gtest_discover_tests) run the Windows executables through Wine, in a
# prefix of the build's own that scripts/wine-run creates on first use.
get_filename_component(vantle_source_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${vantle_source_root}/scripts/wine-run")

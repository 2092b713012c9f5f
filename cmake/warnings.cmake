# One place for the warning set, so the library, the program and the tests agree.
add_library(vantle_warnings INTERFACE)
if(MSVC)
  target_compile_options(vantle_warnings INTERFACE /W4 /permissive- /utf-8)
  if(VANTLE_WERROR)
    target_compile_options(vantle_warnings INTERFACE /WX)
  endif()
else()
  target_compile_options(vantle_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Woverloaded-virtual -Wold-style-cast -Wimplicit-fallthrough)
  # GCC 12 at -O2 and above reports std::string copies as overlapping
  # (-Wrestrict false positives, GCC bug 105329), which -Werror would turn into
  # a failed release build.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(vantle_warnings INTERFACE -Wno-restrict)
  endif()
  if(VANTLE_WERROR)
    target_compile_options(vantle_warnings INTERFACE -Werror)
  endif()
endif()

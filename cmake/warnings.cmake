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
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # GCC 12's -Wrestrict fires on ordinary std::string assignments once -O3
    # inlines them (GCC bug 105651); it has found nothing real here.
    target_compile_options(vantle_warnings INTERFACE -Wno-restrict)
  endif()
  if(VANTLE_WERROR)
    target_compile_options(vantle_warnings INTERFACE -Werror)
  endif()
endif()

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
  if(VANTLE_WERROR)
    target_compile_options(vantle_warnings INTERFACE -Werror)
  endif()
endif()

# Every dependency comes from a system package (Debian, or the MinGW-w64
# packages for the Windows build); nothing is downloaded at configure time.
if(VANTLE_HOST_HEADER_LIBRARIES)
  # The cross build takes header-only libraries from the host's packages. Only
  # their own folders are exposed (through links in the build tree), never the
  # host's /usr/include, whose C headers would shadow the target's.
  set(vantle_host_headers ${CMAKE_BINARY_DIR}/host-headers)
  find_path(VANTLE_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp
    PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  file(MAKE_DIRECTORY ${vantle_host_headers})
  file(CREATE_LINK ${VANTLE_NLOHMANN_JSON_INCLUDE}/nlohmann ${vantle_host_headers}/nlohmann
    SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${vantle_host_headers})
else()
  find_package(nlohmann_json 3.10 REQUIRED)
endif()
find_package(Threads REQUIRED)
find_package(PkgConfig)

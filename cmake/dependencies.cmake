# Every dependency comes from a system package (Debian, or the MinGW-w64
# packages for the Windows build); nothing is downloaded at configure time.
find_package(nlohmann_json 3.10 REQUIRED)
find_package(Threads REQUIRED)
find_package(PkgConfig)

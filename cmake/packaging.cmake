# What a user installs instead of building: `cmake --install` puts the program,
# its encoder module (Linux), the user's guide and the licence in place, and
# cpack makes of that a Debian package (Linux) or a zip (the Windows build).
# scripts/package builds both into dist/.

set(VANTLE_PACKAGE_MAINTAINER "The vantle authors <maintainers@vantle.example>"
  CACHE STRING "The Debian package's Maintainer field")

install(FILES ${PROJECT_SOURCE_DIR}/docs/AUTOMATION.md DESTINATION ${VANTLE_INSTALL_DOCDIR})
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${VANTLE_INSTALL_DOCDIR}
    RENAME LICENSE.txt)
else()
  # Debian's machine-readable copyright file, whose licence text is LICENSE's
  # (every line indented by one space, empty lines as " .").
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE vantle_license_lines)
  set(vantle_license_body "")
  foreach(line IN LISTS vantle_license_lines)
    if(line STREQUAL "")
      string(APPEND vantle_license_body " .\n")
    else()
      string(APPEND vantle_license_body " ${line}\n")
    endif()
  endforeach()
  string(REGEX REPLACE "\n$" "" vantle_license_body "${vantle_license_body}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/packaging/copyright.in
    ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
  # A native Debian package carries a changelog; this one names the release.
  # The date honours SOURCE_DATE_EPOCH, and gzip -n leaves out the time, so
  # equal sources make equal files. The manual page is compressed the same way.
  string(TIMESTAMP vantle_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/packaging/changelog.in
    ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/docs/vantle-cli.1 ${CMAKE_BINARY_DIR}/packaging/vantle-cli.1
    @ONLY)
  execute_process(COMMAND gzip -9 -n -f ${CMAKE_BINARY_DIR}/packaging/changelog
    ${CMAKE_BINARY_DIR}/packaging/vantle-cli.1 COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${VANTLE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_BINARY_DIR}/packaging/vantle-cli.1.gz DESTINATION share/man/man1)
endif()

set(CPACK_PACKAGE_NAME vantle-cli)
set(CPACK_PACKAGE_VENDOR "The vantle authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "see, capture and record desktop windows from scripts and AI agents")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vantle-cli-${PROJECT_VERSION}-windows-x64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VANTLE_PACKAGE_MAINTAINER})
  set(CPACK_PACKAGE_DESCRIPTION [[
vantle-cli lets scripts, terminals and AI agents see the top-level windows
and monitors of an X11 desktop, capture one window, one monitor or a
rectangle into a PNG, and record one of them into an H.264 MP4: as one-shot
commands with exact exit codes and compact JSON, and as a Model Context
Protocol server on standard input and output (vantle-cli mcp).]])
endif()
include(CPack)

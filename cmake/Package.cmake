# The Debian package: cmake --build --preset default --target package (or cpack -G DEB in the
# build folder) writes pendrel_<version>_<arch>.deb into the build folder.
#
# It holds what cmake/Install.cmake installs, under /usr, and the files a Debian package must
# carry besides: the copyright file, the changelog and manual pages for /usr/bin/pendrel and
# /usr/bin/pendrel-check and /usr/bin/pendrel-send.
# Those are in the install component "debian", which a plain cmake --install leaves out.
# Nothing in it belongs to a user: the program keeps its settings in ~/.config/pendrel when it
# runs from /usr/lib/pendrel (app/settings/settings_file.h), so removing the package leaves them alone.
#
# Include this file after cmake/Install.cmake.

set(PENDREL_MAINTAINER "Pendrel developers <pendrel@example.org>" CACHE STRING
    "The package's maintainer, as \"Name <address>\"")
set(PENDREL_PACKAGE_PREFIX /usr)

set(_pendrel_debian ${CMAKE_BINARY_DIR}/debian)
set(PENDREL_INSTALL_PREFIX ${PENDREL_PACKAGE_PREFIX})
# The changelog's date, in the form Debian wants, from the release date.
execute_process(COMMAND date -u -R -d "${PENDREL_RELEASE_DATE} 00:00:00 UTC"
                OUTPUT_VARIABLE PENDREL_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${_pendrel_debian}/changelog @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/pendrel.1.in ${_pendrel_debian}/pendrel.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/pendrel-check.1.in ${_pendrel_debian}/pendrel-check.1 @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/pendrel-send.1.in ${_pendrel_debian}/pendrel-send.1 @ONLY)
# Debian wants both compressed at the highest level, without a time stamp inside.
find_program(PENDREL_GZIP gzip REQUIRED)
set(_pendrel_compressed)
foreach(name changelog pendrel.1 pendrel-check.1 pendrel-send.1)
  add_custom_command(OUTPUT ${_pendrel_debian}/${name}.gz
    COMMAND ${PENDREL_GZIP} -9nkf ${_pendrel_debian}/${name}
    DEPENDS ${_pendrel_debian}/${name}
    COMMENT "Compressing ${name} for the package"
    VERBATIM)
  list(APPEND _pendrel_compressed ${_pendrel_debian}/${name}.gz)
endforeach()
add_custom_target(pendrel-debian-docs ALL DEPENDS ${_pendrel_compressed})

install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_pendrel_debian}/changelog.gz
        DESTINATION share/doc/pendrel COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${_pendrel_debian}/pendrel.1.gz ${_pendrel_debian}/pendrel-check.1.gz ${_pendrel_debian}/pendrel-send.1.gz
        DESTINATION share/man/man1 COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pendrel)
set(CPACK_PACKAGE_VERSION ${PENDREL_VERSION_TEXT})
set(CPACK_PACKAGE_VENDOR "Pendrel developers")
set(CPACK_PACKAGE_CONTACT "${PENDREL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "radio-controlled clock setter imitating the JJY time signal")
# Lines of at most 80 characters, as Debian shows them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Pendrel imitates the Japanese JJY long-wave time signal through the PC's\n"
  "analogue sound output. A loop of wire on the output, placed around a\n"
  "radio-controlled clock, lets the clock receive the time of the PC, optionally\n"
  "shifted by days, hours and minutes.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${PENDREL_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The program's own files and the Debian files, and nothing else the build may hold.
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};Pendrel;Unspecified;/"
    "${CMAKE_BINARY_DIR};Pendrel;debian;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its window-system plugins only at run time, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The sound server, the font the labels fall back to, and the browser for the manual.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, fonts-ipafont-gothic, xdg-utils")
include(CPack)

if(BUILD_TESTING)
  # Making and linting the package changes nothing outside the build folder; installing it on
  # the machine runs only in CI or when asked (see scripts/test-package.sh).
  set(_pendrel_package_args ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PENDREL_APP_ID}
                            ${PENDREL_VERSION_TEXT} ${CMAKE_BINARY_DIR}/package-test)
  add_test(NAME package
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/test-package.sh build ${_pendrel_package_args})
  add_test(NAME package_install
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/test-package.sh install ${_pendrel_package_args})
  set_tests_properties(package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
                       FIXTURES_SETUP pendrel_package)
  set_tests_properties(package_install PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
                       FIXTURES_REQUIRED pendrel_package RESOURCE_LOCK system_packages)
endif()

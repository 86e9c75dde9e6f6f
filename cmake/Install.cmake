# Installing Pendrel like a desktop program.
#
# Unless a prefix is given, Pendrel installs for one user, under ~/.local, and keeps its settings
# file in its own folder there; installed under a system prefix (as cmake/Package.cmake does,
# under /usr) it keeps them in each user's ~/.config/pendrel instead. The layout under the
# prefix:
#   lib/pendrel/           the program folder: pendrel, pendrel-sound-relay (which plays the
#                          signal on PipeWire; the program starts it from its own folder),
#                          pendrel-frame, pendrel-make-sounds (to
#                          make the other sound sets), pendrel-check (records the
#                          output and says whether the signal is right; it reads the
#                          settings file of this folder), pendrel-send (the signal
#                          without the window), the three sound files and
#                          the manual page (and later the user's setting.ini, which we never
#                          install, so installing again leaves it alone)
#   bin/pendrel            a symbolic link to the program
#   bin/pendrel-check      a symbolic link to pendrel-check
#   bin/pendrel-send       a symbolic link to pendrel-send
#   share/systemd/user/    (lib/systemd/user/ under /usr) pendrel-send@.service and the
#                          nightly pendrel-send-nightly.service and .timer, for the user's
#                          systemd, not enabled
#   share/applications/    the desktop launcher
#   share/metainfo/        the AppStream metadata
#   share/icons/hicolor/   the window icon at the sizes desktops ask for
# scripts/uninstall.sh PREFIX removes all of it except setting.ini.
#
# Include this file after the program's targets are defined.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND NOT "$ENV{HOME}" STREQUAL "")
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.local" CACHE PATH "Where cmake --install puts Pendrel" FORCE)
endif()

set(PENDREL_RELEASE_DATE 2026-12-08)
# The X11 class of the window, which Qt takes from the application name set in app/main.cpp;
# the launcher names it so that docks file the window under the launcher.
set(PENDREL_WM_CLASS Pendrel)
set(PENDREL_INSTALL_DIR lib/pendrel)
set(PENDREL_ICON_SIZES 16 24 32 48 64 128 256)
set(PENDREL_ICON_SOURCE ${PROJECT_SOURCE_DIR}/app/pictures/icon.png CACHE FILEPATH
    "The window icon as drawn (48 x 48 PNG); the installed sizes are scaled from it")
set(_pendrel_desktop_dir ${PROJECT_SOURCE_DIR}/app/desktop)
set(_pendrel_stage ${CMAKE_BINARY_DIR}/install-stage)

# The program folder.
install(TARGETS pendrel pendrel-sound-relay pendrel-frame pendrel-make-sounds pendrel-check pendrel-send
        RUNTIME DESTINATION ${PENDREL_INSTALL_DIR})
install(FILES ${PENDREL_PROGRAM_DIR}/200ms.wav ${PENDREL_PROGRAM_DIR}/500ms.wav
              ${PENDREL_PROGRAM_DIR}/800ms.wav ${PENDREL_PROGRAM_DIR}/Pendrel.htm
        DESTINATION ${PENDREL_INSTALL_DIR})

# bin/pendrel and bin/pendrel-check: relative links, so the installed tree can be moved as a
# whole. Each finds its folder (and so the settings file) through the link's target.
file(MAKE_DIRECTORY ${_pendrel_stage})
foreach(_pendrel_linked pendrel pendrel-check pendrel-send)
  file(CREATE_LINK ../${PENDREL_INSTALL_DIR}/${_pendrel_linked} ${_pendrel_stage}/${_pendrel_linked} SYMBOLIC)
  install(FILES ${_pendrel_stage}/${_pendrel_linked} DESTINATION bin)
endforeach()

# The user's systemd units for pendrel-send. They name bin/pendrel-send by its absolute path,
# known only when installing, and go where the user's systemd looks: /usr/lib/systemd/user for
# a package, $prefix/share/systemd/user otherwise (~/.local/share/systemd/user is searched).
install(CODE "set(_pendrel_units_in \"${PROJECT_SOURCE_DIR}/send/systemd\")
set(_pendrel_units_out \"${_pendrel_stage}/systemd\")")
install(CODE [[
  set(_exe "${CMAKE_INSTALL_PREFIX}/bin/pendrel-send")
  # A word of ExecStart: quoted when the path needs it, a % written twice.
  string(REPLACE "%" "%%" _exe "${_exe}")
  if(NOT _exe MATCHES "^[A-Za-z0-9_./+%-]+$")
    string(ASCII 34 _quote)
    string(ASCII 92 _backslash)
    string(REPLACE "${_backslash}" "${_backslash}${_backslash}" _exe "${_exe}")
    string(REPLACE "${_quote}" "${_backslash}${_quote}" _exe "${_exe}")
    set(_exe "${_quote}${_exe}${_quote}")
  endif()
  set(PENDREL_SEND_EXEC "${_exe}")
  file(MAKE_DIRECTORY "${_pendrel_units_out}")
  foreach(_unit pendrel-send@.service pendrel-send-nightly.service)
    configure_file("${_pendrel_units_in}/${_unit}.in" "${_pendrel_units_out}/${_unit}" @ONLY)
  endforeach()
  configure_file("${_pendrel_units_in}/pendrel-send-nightly.timer"
                 "${_pendrel_units_out}/pendrel-send-nightly.timer" COPYONLY)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_units_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
  else()
    set(_units_dir "${CMAKE_INSTALL_PREFIX}/share/systemd/user")
  endif()
  file(INSTALL "${_pendrel_units_out}/pendrel-send@.service"
               "${_pendrel_units_out}/pendrel-send-nightly.service"
               "${_pendrel_units_out}/pendrel-send-nightly.timer"
       DESTINATION "${_units_dir}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]])

# The launcher names the program by its absolute path, which is known only when installing
# (cmake --install --prefix may change it), so it is written then.
configure_file(${_pendrel_desktop_dir}/${PENDREL_APP_ID}.metainfo.xml.in
               ${_pendrel_stage}/${PENDREL_APP_ID}.metainfo.xml @ONLY)
install(CODE "set(PENDREL_APP_ID \"${PENDREL_APP_ID}\")
set(PENDREL_WM_CLASS \"${PENDREL_WM_CLASS}\")
set(_pendrel_desktop_in \"${_pendrel_desktop_dir}/${PENDREL_APP_ID}.desktop.in\")
set(_pendrel_desktop_out \"${_pendrel_stage}/${PENDREL_APP_ID}.desktop\")
set(_pendrel_install_dir \"${PENDREL_INSTALL_DIR}\")")
install(CODE [[
  set(_exe "${CMAKE_INSTALL_PREFIX}/${_pendrel_install_dir}/pendrel")
  # TryExec is a plain string; Exec is a command line, quoted when the path needs it.
  string(REPLACE "\\" "\\\\" PENDREL_DESKTOP_TRYEXEC "${_exe}")
  if(_exe MATCHES "^[A-Za-z0-9_./+-]+$")
    set(PENDREL_DESKTOP_EXEC "${_exe}")
  else()
    set(_arg "${_exe}")
    string(REPLACE "\\" "\\\\\\\\" _arg "${_arg}")
    string(REPLACE "\"" "\\\\\"" _arg "${_arg}")
    string(REPLACE "`" "\\\\`" _arg "${_arg}")
    string(REPLACE "$" "\\\\$" _arg "${_arg}")
    string(REPLACE "%" "%%" _arg "${_arg}")
    set(PENDREL_DESKTOP_EXEC "\"${_arg}\"")
  endif()
  configure_file("${_pendrel_desktop_in}" "${_pendrel_desktop_out}" @ONLY)
]])
install(FILES ${_pendrel_stage}/${PENDREL_APP_ID}.desktop DESTINATION share/applications)
install(FILES ${_pendrel_stage}/${PENDREL_APP_ID}.metainfo.xml DESTINATION share/metainfo)

# The icon at every size, scaled at build time from the one drawn picture.
find_package(Qt6 REQUIRED COMPONENTS Gui)
add_executable(pendrel-scale-icon ${_pendrel_desktop_dir}/scale_icon.cpp)
pendrel_defaults(pendrel-scale-icon)
target_link_libraries(pendrel-scale-icon PRIVATE Qt6::Gui)

# Adding the picture to the tree re-runs the configuration, which then picks it up.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/app/pictures)
if(EXISTS ${PENDREL_ICON_SOURCE})
  set(_pendrel_icons)
  foreach(size IN LISTS PENDREL_ICON_SIZES)
    set(_icon ${CMAKE_BINARY_DIR}/icons/${size}x${size}/apps/${PENDREL_APP_ID}.png)
    add_custom_command(OUTPUT ${_icon}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}/apps
      COMMAND pendrel-scale-icon ${PENDREL_ICON_SOURCE} ${size} ${_icon}
      DEPENDS pendrel-scale-icon ${PENDREL_ICON_SOURCE}
      COMMENT "Scaling the icon to ${size} x ${size}"
      VERBATIM)
    list(APPEND _pendrel_icons ${_icon})
    install(FILES ${_icon} DESTINATION share/icons/hicolor/${size}x${size}/apps)
  endforeach()
  add_custom_target(pendrel-icons ALL DEPENDS ${_pendrel_icons})
  set(_pendrel_have_icon 1)
else()
  message(STATUS "No window icon at ${PENDREL_ICON_SOURCE} yet: the launcher is installed without one")
  set(_pendrel_have_icon 0)
endif()

if(BUILD_TESTING)
  string(REPLACE ";" " " _pendrel_sizes "${PENDREL_ICON_SIZES}")
  add_test(NAME install
           COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/test-install.sh ${CMAKE_BINARY_DIR}
                   ${PROJECT_SOURCE_DIR} ${PENDREL_APP_ID} ${PENDREL_VERSION_TEXT}
                   "${_pendrel_sizes}" ${_pendrel_have_icon})
  set_tests_properties(install PROPERTIES TIMEOUT 180)
endif()

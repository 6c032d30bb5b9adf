# Desktop integration (freedesktop desktop entry, hicolor icons, AppStream
# metainfo) and the Debian package built from the same install rules.
# Included from the install section of the top CMakeLists.txt.

set(PLINKORA_APP_ID io.github.plinkora.Plinkora)
set(PLINKORA_HOMEPAGE https://github.com/plinkora/plinkora)
set(PLINKORA_SCREENSHOT_URL https://raw.githubusercontent.com/plinkora/plinkora/main/docs/screenshot.png)
# The day the release named by PROJECT_VERSION was made; change both together.
set(PLINKORA_RELEASE_DATE 2026-12-08)

configure_file(${CMAKE_SOURCE_DIR}/data/${PLINKORA_APP_ID}.metainfo.xml.in
  ${CMAKE_BINARY_DIR}/data/${PLINKORA_APP_ID}.metainfo.xml @ONLY)

install(FILES ${CMAKE_SOURCE_DIR}/data/${PLINKORA_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/data/${PLINKORA_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/icons/hicolor
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

# cpack -G DEB in a build tree: plinkora_<version>_<arch>.deb installing
# under /usr whatever CMAKE_INSTALL_PREFIX the tree was configured with.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plinkora)
set(CPACK_PACKAGE_VENDOR "The Plinkora developers")
set(CPACK_PACKAGE_CONTACT "The Plinkora developers <plinkora@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "four-string plucked instrument played from the PC keyboard")
set(CPACK_PACKAGE_DESCRIPTION "Plinkora turns the PC keyboard and the mouse into a small \
four-string plucked instrument organised by chords: the keypad strikes the \
strings, the function keys are frets, and a recorder saves what is played \
as a WAV file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PLINKORA_HOMEPAGE})
# The libraries it links come from dpkg-shlibdeps; these are loaded at run
# time: the General MIDI soundfont, and Qt's X11 platform plugin.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fluid-soundfont-gm, qt6-qpa-plugins")
# The FM-style soundfont of the first tone, Qt's Wayland plugin for
# sessions without XWayland, and glyphs for the Japanese message boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "opl3-soundfont, qt6-wayland, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

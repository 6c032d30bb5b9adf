# SPDX-License-Identifier: GPL-3.0-or-later
# Desktop integration (freedesktop desktop entry, hicolor icons, AppStream
# metainfo), the manual page, the copyright and changelog, and the Debian
# package built from the same install rules.  Included from the install
# section of the top CMakeLists.txt.

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

# The manual page and the changelog go in compressed as Debian has them
# (gzip -9n: no name or time stamp in the header, so the same bytes every
# build); man reads the .gz wherever it is installed.
find_program(PLINKORA_GZIP gzip REQUIRED)
set(PLINKORA_DOC_BUILD ${CMAKE_BINARY_DIR}/doc)
set(PLINKORA_GZIPPED)
foreach(pair "docs/plinkora.1|plinkora.1.gz" "data/debian/changelog|changelog.gz")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 src)
  list(GET pair 1 gz)
  add_custom_command(OUTPUT ${PLINKORA_DOC_BUILD}/${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PLINKORA_DOC_BUILD}
    COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$2\"" ${PLINKORA_GZIP} ${CMAKE_SOURCE_DIR}/${src} ${PLINKORA_DOC_BUILD}/${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/${src}
    COMMENT "Compressing ${src}" VERBATIM)
  list(APPEND PLINKORA_GZIPPED ${PLINKORA_DOC_BUILD}/${gz})
endforeach()
add_custom_target(plinkora_docs ALL DEPENDS ${PLINKORA_GZIPPED})
install(FILES ${PLINKORA_DOC_BUILD}/plinkora.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The licence in Debian's machine-readable form (it points to the full text
# in /usr/share/common-licenses), and the changelog of a native package.
install(FILES ${CMAKE_SOURCE_DIR}/data/debian/copyright ${PLINKORA_DOC_BUILD}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/plinkora)

# cpack -G DEB in a build tree: plinkora_<version>_<arch>.deb installing
# under /usr whatever CMAKE_INSTALL_PREFIX the tree was configured with.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plinkora)
set(CPACK_PACKAGE_VENDOR "The Plinkora developers")
set(CPACK_PACKAGE_CONTACT "The Plinkora developers <plinkora@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "four-string plucked instrument played from the PC keyboard")
# The long description, wrapped as Debian shows it (80 columns at most).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Plinkora turns the PC keyboard and the mouse into a small four-string"
  "plucked instrument organised by chords: the numeric keypad strikes the"
  "strings of three chords, the function keys F1 to F12 are frets, and two"
  "chord presets fill the table with chords ready to play."
  ""
  "It has three tones (an OPL3 FM pluck and two nylon-string guitars from the"
  "General MIDI soundfont), a backing loop, and a recorder that takes what is"
  "played and saves it as a WAV file.  Sound goes to PulseAudio or PipeWire;"
  "the window runs on X11 or Wayland.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# A stripped install (the package's) also drops the sections strip keeps by
# default and Debian's dh_strip removes: the compilers' .comment and .note.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/plinkora\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
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

# `make install` (bin/sysaudio and its manual page) and the Debian package made from the same
# rules (`make package`, which sets SYSAUDIO_DEBIAN_PACKAGE).
include(GNUInstallDirs)

option(SYSAUDIO_DEBIAN_PACKAGE "Install as Debian policy wants: compressed manual, copyright" OFF)
set(SYSAUDIO_MAINTAINER "sysaudio developers <sysaudio@example.org>"
    CACHE STRING "Maintainer named by the Debian package")

configure_file(doc/sysaudio.1.in ${PROJECT_BINARY_DIR}/doc/sysaudio.1 @ONLY)
install(TARGETS sysaudio RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(SYSAUDIO_BUILD_TESTS)
  # man(1) shows a page with markup errors as best it can; groff says what is wrong.
  add_test(NAME man-page
           COMMAND sh -c "out=$(groff -man -ww -z \"$0\" 2>&1); printf '%s' \"$out\"; [ -z \"$out\" ]"
                   ${PROJECT_BINARY_DIR}/doc/sysaudio.1)
endif()

if(NOT SYSAUDIO_DEBIAN_PACKAGE)
  install(FILES ${PROJECT_BINARY_DIR}/doc/sysaudio.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  return()
endif()

# Debian keeps manuals and changelogs compressed, without a time stamp in the gzip header so
# that two builds of one version give the same package.
configure_file(cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
set(compressed ${PROJECT_BINARY_DIR}/doc/sysaudio.1.gz ${PROJECT_BINARY_DIR}/doc/changelog.gz)
add_custom_command(
  OUTPUT ${compressed}
  COMMAND gzip -9nkf sysaudio.1 changelog
  DEPENDS ${PROJECT_BINARY_DIR}/doc/sysaudio.1 ${PROJECT_BINARY_DIR}/doc/changelog
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/doc)
add_custom_target(compressed-docs ALL DEPENDS ${compressed})
install(FILES ${PROJECT_BINARY_DIR}/doc/sysaudio.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/doc/changelog.gz cmake/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sysaudio)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${SYSAUDIO_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "record what the computer plays, as raw PCM on stdout")
set(CPACK_PACKAGE_DESCRIPTION
    "sysaudio records the monitor of the sound server's default output\n"
    "(PulseAudio, or PipeWire through pipewire-pulse), never a microphone, and\n"
    "follows the default output as it changes. It writes 16 kHz mono signed\n"
    "16-bit little-endian PCM to standard output until interrupted, for the head\n"
    "of a pipe: speech recognition, meeting recorders, audio analysis.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # sysaudio_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps finds what the binary links (libc, libstdc++, libgcc, speexdsp). libpulse is
# loaded only once the program runs, so no tool can see it: named here, at the oldest version
# that has every function the program looks up. Never a sound server: whichever the user has
# serves it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpulse0 (>= 5.0)")
include(CPack)

# Install rules for the companions of stbflash and their manual pages, and
# the packages CPack makes: a Debian package on Linux, a zip on Windows.
#   cmake --install build                 -> /usr/local/bin, share/man/man1, share/doc
#   cd build && cpack                     -> stbflash_<version>_<arch>.deb (or the zip)
include(GNUInstallDirs)

# stbflash and stbsim are installed by their own folders.
install(TARGETS dnlinfo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  # Beside the programs, the text a user reads first.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  # Manual pages carry the version. Debian keeps them gzipped, without a
  # time stamp in the gzip header so that rebuilds give the same package.
  find_program(STB_GZIP gzip)
  set(pages stbflash dnlinfo)
  if(TARGET stbsim)
    list(APPEND pages stbsim)
  endif()
  foreach(page IN LISTS pages)
    set(source ${PROJECT_SOURCE_DIR}/man/${page}.1.in)
    set(page_file ${PROJECT_BINARY_DIR}/man/${page}.1)
    configure_file(${source} ${page_file} @ONLY)
    if(STB_GZIP)
      set(packed ${page_file}.gz)
      add_custom_command(OUTPUT ${packed}
                         COMMAND ${STB_GZIP} -9 -n -f -k ${page_file}
                         DEPENDS ${source} ${page_file}
                         COMMENT "Compressing ${page}.1"
                         VERBATIM)
      list(APPEND packed_pages ${packed})
      install(FILES ${packed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    else()
      install(FILES ${page_file} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
  if(packed_pages)
    add_custom_target(man_pages ALL DEPENDS ${packed_pages})
  endif()

  # What a Debian user needs before the first download.
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/doc/README.Debian @ONLY CONTENT
"stbflash @PROJECT_VERSION@ for Debian
=====================

Serial ports (/dev/ttyUSB*, /dev/ttyS*, /dev/serial/by-id/*) belong to the
group dialout. A user who is not in that group gets \"Can't open serial port\"
from stbflash. Add each user who flashes boxes, then log out and in again:

    sudo usermod -aG dialout <user>

Check with: id -nG | grep -w dialout

Programs: stbflash(1) downloads an image, dnlinfo(1) inspects one, stbsim(1)
plays the box for a rehearsal. The user guide is README.md in this folder.
")
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/doc/README.Debian
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME stbflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "stbflash project")
set(STB_PACKAGE_CONTACT "stbflash maintainers <stbflash@example.org>"
    CACHE STRING "Maintainer named in the packages")
set(CPACK_PACKAGE_CONTACT ${STB_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "downloads firmware to a digital-TV set-top box over a serial line")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The C and C++ runtimes the programs were linked against.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Follows the summary, which CPack puts on the first line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "stbflash sends a .dnl firmware image to a set-top box over RS-232 at
115200 bps, 8N1, and follows the box while it burns and verifies its flash.
Its exit status is 0 only when the firmware was downloaded, burnt and
verified.
.
Companions: dnlinfo inspects an image before it is flashed; stbsim plays
the box on a pseudo-terminal or a serial port, to rehearse a download.
.
Serial ports belong to the group dialout: add each user who flashes boxes
with 'sudo usermod -aG dialout <user>' and log in again.")
endif()

include(CPack)

# Installation and the Debian packages.
#
# `cmake --install build` puts the programs, their manual pages, the bash
# completion, the desktop entry with its metadata and icons, and the
# documents under the prefix. `cpack` in the build folder makes
# tarvik_VERSION_amd64.deb (the command line) and, when the dialog is built,
# tarvik-gui_VERSION_amd64.deb, so that a server install pulls in no toolkit.
# Each package's Depends come from dpkg-shlibdeps.
include(GNUInstallDirs)

# The packages' contact; a distributor sets its own.
set(TARVIK_MAINTAINER "The Tarvik developers <tarvik@example.org>" CACHE STRING "Maintainer of the Debian packages")

# ---- Manual pages: help2man over each program's own help ----
find_program(HELP2MAN help2man)
function(tarvik_man_page target help_option component)
  if(NOT HELP2MAN)
    message(STATUS "help2man not found: no manual page for ${target}")
    return()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${target}.1.gz)
  set(make_man ${CMAKE_SOURCE_DIR}/res/man/make_man.sh)
  add_custom_command(OUTPUT ${page}
    COMMAND bash ${make_man} $<TARGET_FILE:${target}> ${help_option} ${CMAKE_SOURCE_DIR}/res/man/${target}.h2m ${page}
    DEPENDS ${target} ${make_man} ${CMAKE_SOURCE_DIR}/res/man/help_sections.awk
            ${CMAKE_SOURCE_DIR}/res/man/${target}.h2m
    COMMENT "Manual page ${target}(1)")
  add_custom_target(${target}_man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# The documents every package carries in /usr/share/doc/PACKAGE.
string(TIMESTAMP TARVIK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_SOURCE_DIR}/res/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog)
add_custom_target(tarvik_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
function(tarvik_documents package component)
  install(FILES ${CMAKE_SOURCE_DIR}/res/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endfunction()

# ---- The command line ----
install(TARGETS tarvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
# The media module, loaded by both programs from this folder: the dialog's
# package depends on this one for it.
if(TARGET tarvik_media)
  install(TARGETS tarvik_media LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tarvik COMPONENT cli
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
tarvik_man_page(tarvik --help-all cli)
install(FILES ${CMAKE_SOURCE_DIR}/res/completion/tarvik
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT cli)
tarvik_documents(tarvik cli)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvik COMPONENT cli)
set(CPACK_COMPONENTS_ALL cli)

# ---- The dialog ----
if(TARGET tarvik-gui)
  install(TARGETS tarvik-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  tarvik_man_page(tarvik-gui --help gui)
  install(FILES ${CMAKE_SOURCE_DIR}/res/org.tarvik.tarvik.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES ${CMAKE_SOURCE_DIR}/res/org.tarvik.tarvik.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT gui)
  # The icon in the sizes of the hicolor theme, drawn by res/make_icon.py;
  # the largest is the one in the source tree.
  set(icons "")
  foreach(size 16 22 24 32 48 64 128)
    set(icon ${CMAKE_BINARY_DIR}/icons/${size}x${size}/apps/tarvik.png)
    add_custom_command(OUTPUT ${icon}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/icons/${size}x${size}/apps
      COMMAND python3 ${CMAKE_SOURCE_DIR}/res/make_icon.py ${size} ${icon}
      DEPENDS ${CMAKE_SOURCE_DIR}/res/make_icon.py)
    list(APPEND icons ${icon})
    install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps COMPONENT gui)
  endforeach()
  add_custom_target(tarvik_icons ALL DEPENDS ${icons})
  install(FILES ${CMAKE_SOURCE_DIR}/res/tarvik.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps COMPONENT gui)
  tarvik_documents(tarvik-gui gui)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()

# ---- The packages ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "The Tarvik developers")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVIK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME tarvik)
# fusermount3, which unmounts a `tarvik mount`.
set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS fuse3)
set(CPACK_COMPONENT_CLI_DESCRIPTION "copy recordings off a digital video recorder's hard disk
tarvik reads the hard disk of a digital video recorder, attached as a block
device or imaged to a file, finds the recordings of one channel in a time
window and copies them into a folder tree, or mounts the disk read-only as
files. Disks can be read without ever being written to.

This package holds the command-line program; tarvik-gui holds the dialog.")
set(CPACK_DEBIAN_GUI_PACKAGE_NAME tarvik-gui)
set(CPACK_DEBIAN_GUI_PACKAGE_SECTION video)
if(TARGET tarvik_media)
  set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "tarvik (= ${PROJECT_VERSION})")
else()
  set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS tarvik)
endif()
set(CPACK_COMPONENT_GUI_DESCRIPTION "copy recordings off a digital video recorder's hard disk (dialog)
tarvik-gui shows one dialog: pick a recorder disk and a channel, a start and
an end time, search, tick recordings and download them into a folder tree.
Beside the disk picker it shows which dates the disk has recordings for.")
include(CPack)

# Installation as a command-line tool, and the Debian package made by CPack.
include(GNUInstallDirs)

install(TARGETS Mavrin Mavrin-static RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Every manual page in doc/, whichever programs the project has.
file(GLOB mavrin_manpages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.1)
install(FILES ${mavrin_manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# zemmake may be defined anywhere in the build, before or after this file is
# included, so look for it only once the top CMakeLists.txt has been read.
function(mavrin_installzemmake)
  if(TARGET zemmake)
    install(TARGETS zemmake RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  if(TARGET zeminfo)
    install(TARGETS zeminfo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()
cmake_language(DEFER CALL mavrin_installzemmake)

# `cpack -G DEB` in the build folder; build first, cpack only installs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mavrin)
set(CPACK_PACKAGE_VENDOR "Mavrin developers")
set(CPACK_PACKAGE_CONTACT "Mavrin developers <mavrin@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "apply ZEM patches to raw CD images in place")
set(CPACK_PACKAGE_DESCRIPTION
"Mavrin applies a patch in the ZEM format, version 1.0 or 2.0, to a raw CD
image (a BIN file), writing the patch's records straight into the image.
It shows the patch's description and FILE_ID.DIZ text, checks that the
image is the one a version 2.0 patch was made for and asks before going
on when it is not, and refuses a damaged patch before writing anything.
Mavrin-static is the same program, linked statically.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

# Installation as a command-line tool, and the Debian package made by CPack.
include(GNUInstallDirs)

install(TARGETS Mavrin Mavrin-static RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, compressed as Debian wants them (-n: no name or time stamp,
# so the same page gives the same bytes). Every page in doc/, whichever
# programs the project has: the programs' pages in section 1, the library's in
# section 3, the format's in section 5; Mavrin-static shares Mavrin's page
# through a link.
find_program(MAVRIN_GZIP gzip REQUIRED)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/man)
set(mavrin_gzipped)
foreach(section 1 3 5)
  file(GLOB pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/doc/*.${section})
  set(sectionpages)
  foreach(page IN LISTS pages)
    get_filename_component(name ${page} NAME)
    set(gz ${PROJECT_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${MAVRIN_GZIP} -9nc ${page} > ${gz}
      DEPENDS ${page} VERBATIM)
    list(APPEND mavrin_gzipped ${gz})
    list(APPEND sectionpages ${gz})
  endforeach()
  if(section EQUAL 1)
    file(CREATE_LINK Mavrin.1.gz ${PROJECT_BINARY_DIR}/man/Mavrin-static.1.gz SYMBOLIC)
    list(APPEND sectionpages ${PROJECT_BINARY_DIR}/man/Mavrin-static.1.gz)
  endif()
  # Section 3, the library's, goes with the library (src/libzem).
  if(section EQUAL 3)
    set(component libzem)
  else()
    set(component Unspecified)
  endif()
  install(FILES ${sectionpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
endforeach()
# The package is made here, by the program's own developers: a native
# package, version 2.0 with no Debian revision, whose history is changelog.gz.
set(changelog ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
  COMMAND ${MAVRIN_GZIP} -9nc ${PROJECT_SOURCE_DIR}/cmake/debian/changelog > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
add_custom_target(manpages ALL DEPENDS ${mavrin_gzipped} ${changelog})

# The licence and the package's history, where Debian looks for them.
set(mavrin_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/mavrin)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}
  DESTINATION ${mavrin_docdir})

# zemmake may be defined anywhere in the build, before or after this file is
# included, so look for it only once the top CMakeLists.txt has been read.
function(mavrin_installzemmake)
  if(TARGET zemmake)
    install(TARGETS zemmake RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  if(TARGET zeminfo)
    install(TARGETS zeminfo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  if(TARGET zemmount)
    install(TARGETS zemmount RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()
cmake_language(DEFER CALL mavrin_installzemmake)

# `cpack -G DEB` in the build folder; build first, cpack only installs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mavrin)
set(CPACK_PACKAGE_VENDOR "Mavrin developers")
# No one reads mail for the project: a reserved domain says so honestly.
set(CPACK_PACKAGE_CONTACT "Mavrin developers <mavrin@mavrin.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "apply ZEM patches to raw CD images in place")
set(CPACK_PACKAGE_DESCRIPTION
"Mavrin applies a patch in the ZEM format, version 1.0 or 2.0, to a raw CD
image (a BIN file), writing the patch's records straight into the image.
It shows the patch's description and FILE_ID.DIZ text, checks that the
image is the one a version 2.0 patch was made for and asks before going
on when it is not, and refuses a damaged patch before writing anything.
Mavrin-static is the same program, linked statically. zemmake makes ZEM
patches from two images, and undo patches; zeminfo explains a patch and
says why an image does or does not fit it. zemmount shows an image through
patches as read-only files (FUSE), so that any emulator reads the patched
disc while the dump itself is never written.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# zemmount's libfuse3 comes from dpkg-shlibdeps; fusermount3, which mounts
# and unmounts for a user, is in fuse3.
if(TARGET zemmount)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS fuse3)
endif()
# The package holds the programs only: libzem (component libzem) is for a
# package of its own, which a library needs to be lintian-clean.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
include(CPack)

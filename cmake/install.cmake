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
  # Section 3, the library's, goes with its header (src/libzem).
  if(section EQUAL 3)
    set(component libzemdev)
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

# The licence and the history, where Debian looks for them: in each
# package's own folder (components: the programs, libzem1, libzemdev).
foreach(pair "Unspecified mavrin" "libzem1 libzem1" "libzemdev libzem-dev")
  separate_arguments(pair)
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

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
# Three packages, split as Debian splits its libraries: mavrin (the
# programs: component Unspecified), libzem1 (the shared library, named after
# its soname) and libzem-dev (header, .so link, static library, zem.pc, the
# section 3 page). All three are version 2.0, from one native source.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified libzem1 libzemdev)
set(CPACK_PACKAGE_NAME mavrin)
set(CPACK_PACKAGE_VENDOR "Mavrin developers")
# No one reads mail for the project: a reserved domain says so honestly.
set(CPACK_PACKAGE_CONTACT "Mavrin developers <mavrin@mavrin.invalid>")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SOURCE mavrin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put that one summary on
# every package; each description's first line is its own summary.
set(mavrin_pkgversion ${PROJECT_VERSION})

set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME mavrin)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION
"apply ZEM patches to raw CD images in place
Mavrin applies a patch in the ZEM format, version 1.0 or 2.0, to a raw CD
image (a BIN file), writing the patch's records straight into the image.
It shows the patch's description and FILE_ID.DIZ text, checks that the
image is the one a version 2.0 patch was made for and asks before going
on when it is not, and refuses a damaged patch before writing anything.
Mavrin-static is the same program, linked statically. zemmake makes ZEM
patches from two images, and undo patches; zeminfo explains a patch and
says why an image does or does not fit it. zemmount shows an image through
patches as read-only files (FUSE), so that any emulator reads the patched
disc while the dump itself is never written.")
# zemmount links libzem.so.1 (libzem1, built beside it: dpkg-shlibdeps finds
# it in the build but no package of the system holds it, so the dependency
# is named here) and libfuse3 (from dpkg-shlibdeps); fusermount3, which
# mounts and unmounts for a user, is in fuse3.
if(TARGET zemmount)
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_DEPENDS "libzem1 (= ${mavrin_pkgversion}), fuse3")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src/libzem)
endif()

set(CPACK_DEBIAN_LIBZEM1_PACKAGE_NAME libzem1)
set(CPACK_DEBIAN_LIBZEM1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBZEM1_DESCRIPTION
"patched view of a raw CD image through ZEM patches (library)
libzem reads a raw CD image, one file or a cue sheet's track files, as
one or more ZEM patches applied in order would leave it, without writing a
byte of any file: an emulator or a disc tool can read the patched disc
while the dump keeps its hashes. Every patch is checked before the view
opens, a version 2.0 patch against the image as the earlier ones leave it.
.
This package holds the shared library.")
# A shlibs file, so that dpkg-shlibdeps gives a program linked with libzem
# the dependency "libzem1 (>= 2.0)"; ldconfig runs from a trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# CPack would write a postinst and a postrm that call ldconfig, which lintian
# refuses (maintscript-calls-ldconfig) in favour of the trigger; naming them
# among the control files keeps it from writing them, and as they do not
# exist CPack leaves them out with a warning.
set(CPACK_DEBIAN_LIBZEM1_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/libzem1/triggers
  ${PROJECT_SOURCE_DIR}/cmake/debian/libzem1/postinst
  ${PROJECT_SOURCE_DIR}/cmake/debian/libzem1/postrm)

set(CPACK_DEBIAN_LIBZEMDEV_PACKAGE_NAME libzem-dev)
set(CPACK_DEBIAN_LIBZEMDEV_PACKAGE_SECTION libdevel)
# zem.pc requires libcue (for static linking), which pkg-config looks for
# even for the shared library.
set(CPACK_DEBIAN_LIBZEMDEV_PACKAGE_DEPENDS "libzem1 (= ${mavrin_pkgversion}), libcue-dev")
set(CPACK_DEBIAN_LIBZEMDEV_DESCRIPTION
"patched view of a raw CD image through ZEM patches (development files)
libzem reads a raw CD image, one file or a cue sheet's track files, as
one or more ZEM patches applied in order would leave it, without writing a
byte of any file: an emulator or a disc tool can read the patched disc
while the dump keeps its hashes.
.
This package holds the header zem.h, the static library, the link to the
shared one, zem.pc for pkg-config and the manual page zem_view(3).")
include(CPack)

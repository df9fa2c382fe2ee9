# Installing tvx: `make install` (PREFIX, DESTDIR) and `cmake --install` put the program, its
# manual page and its documents in the usual places under the prefix:
#
#   bin/tvx   share/man/man1/tvx.1   share/doc/tharvex/{README.md,LICENSE,report-json.md,
#                                                        detection.md}
#
# With TVX_DEBIAN_PACKAGE on, the files are laid out as a Debian package wants them instead (the
# manual page and changelog compressed, the licence as a copyright file) and `cpack -G DEB`
# builds tharvex_<version>_<arch>.deb from them; tools/make-package does that.
include(GNUInstallDirs)

option(TVX_DEBIAN_PACKAGE "Lay out the installed files as the Debian package has them; set up CPack"
       OFF)

set(TVX_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tharvex)
set(TVX_MAN_PAGE ${CMAKE_BINARY_DIR}/tvx.1)  # docs/tvx.1.in with the version filled in
set(TVX_JSON_DOC ${PROJECT_SOURCE_DIR}/docs/report-json.md)

install(TARGETS tvx RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/detection.md
        DESTINATION ${TVX_DOC_DIR})
# The description of the JSON report, when the sources have it; looked for at install time, so
# that a build folder configured before the file came still installs it.
install(FILES ${TVX_JSON_DOC} DESTINATION ${TVX_DOC_DIR} OPTIONAL)

if(NOT TVX_DEBIAN_PACKAGE)
  install(FILES ${TVX_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${TVX_DOC_DIR})
  return()
endif()

# The Debian layout: gzip -9n, as Debian compresses manual pages and changelogs (no name or time
# stamp inside, so the same input gives the same bytes).
set(TVX_DEBIAN_FILES
  ${TVX_MAN_PAGE} ${CMAKE_CURRENT_BINARY_DIR}/tvx.1.gz
  ${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
)
set(compressed)
while(TVX_DEBIAN_FILES)
  list(POP_FRONT TVX_DEBIAN_FILES source output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  list(APPEND compressed ${output})
endwhile()
add_custom_target(tvx_debian_files ALL DEPENDS ${compressed})

# The compilers' version notes go, as Debian's own packaging strips them; CPack strips the rest.
add_custom_command(TARGET tvx POST_BUILD
                   COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment $<TARGET_FILE:tvx> VERBATIM)

install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tvx.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
        DESTINATION ${TVX_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tharvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
set(CPACK_PACKAGE_VENDOR "The Tharvex developers")
set(CPACK_PACKAGE_CONTACT "The Tharvex developers <developers@tharvex.example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "checks a machine or disk images for mounted encrypted volumes")
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tharvex (tvx) is a console program for incident responders and forensic
examiners at a live machine. It looks for encrypted disks and volumes that
are in use at that moment (TrueCrypt, VeraCrypt, PGP, BitLocker, LUKS), so
that the examiner can decide whether to image the machine before it is
switched off.
.
It finds them by their traces in sector 0 of each physical drive, in the
first sector of each partition, and in the volumes that live on no physical
drive. It reads drives and images read-only and writes nothing to any disk.
It examines either the running system's block devices or a folder of disk
images (raw, E01, VHD, VHDX, VMDK, QCOW2).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tharvex.example.org/)
# Depends is computed by dpkg-shlibdeps from the libraries the binary links: the C library alone.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The image libraries are loaded only when an image of their format is met, and the program runs
# without them; the binary's .note.dlopen names the same sonames. A build that reads raw images
# only loads none.
if(NOT TVX_RAW_IMAGES_ONLY)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libewf2, libvhdi1, libvmdk1, libqcow1")
endif()
include(CPack)

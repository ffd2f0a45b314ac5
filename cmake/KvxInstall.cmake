# Install rules and the Debian package.
#
#   bin/korvanex                                      the program
#   share/korvanex/trees/<TREE>/                      the sample trees (served with no client.conf)
#   share/korvanex/examples/*.kvx                     example batch settings files
#   share/applications/korvanex.desktop               menu entry; opens .kvx files
#   share/mime/packages/korvanex.xml                  the MIME type of .kvx files
#   share/metainfo/org.example.korvanex.metainfo.xml  AppStream description for software centres
#   share/icons/hicolor/scalable/apps/korvanex.svg    the program's icon
#   share/man/man1/korvanex.1.gz                      the manual page
#   share/doc/korvanex/copyright, changelog.Debian.gz what Debian asks of every package
#   share/lintian/overrides/korvanex                  lintian notes that do not apply to us
#
# The program finds the sample trees at ../share/korvanex/trees beside itself, so an installed
# program (in /usr/bin, or in any DESTDIR) uses the installed copy.

set(KVX_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KVX_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/korvanex)

if(TARGET korvanex)
    install(TARGETS korvanex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(DIRECTORY ${CMAKE_SOURCE_DIR}/data/trees/
        DESTINATION ${KVX_INSTALL_DATADIR}/trees
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE)

# Looked at when installing, not when configuring, so examples added later need no new run of
# cmake; a checkout without the folder installs none.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/
        DESTINATION ${KVX_INSTALL_DATADIR}/examples
        OPTIONAL
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        FILES_MATCHING PATTERN "*.kvx")

install(FILES ${KVX_PACKAGING_DIR}/korvanex.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KVX_PACKAGING_DIR}/korvanex.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME org.example.korvanex.metainfo.xml)
install(FILES ${KVX_PACKAGING_DIR}/korvanex-mime.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages
        RENAME korvanex.xml)
install(FILES ${CMAKE_SOURCE_DIR}/src/app/images/korvanex.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Debian keeps manual pages and changelogs compressed; -n leaves out the time stamp so that
# two builds of the same sources give the same bytes.
find_program(KVX_GZIP gzip REQUIRED)
set(KVX_GZIPPED)
foreach(pair "korvanex.1|korvanex.1.gz" "changelog|changelog.Debian.gz")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 in)
    list(GET pair 1 out)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/packaging/${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND ${KVX_GZIP} -9 -n -c ${KVX_PACKAGING_DIR}/${in} > ${CMAKE_BINARY_DIR}/packaging/${out}
        DEPENDS ${KVX_PACKAGING_DIR}/${in}
        COMMENT "Compressing ${in}"
        VERBATIM)
    list(APPEND KVX_GZIPPED ${CMAKE_BINARY_DIR}/packaging/${out})
endforeach()
add_custom_target(kvx_packaging_files ALL DEPENDS ${KVX_GZIPPED})

install(FILES ${CMAKE_BINARY_DIR}/packaging/korvanex.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KVX_PACKAGING_DIR}/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/korvanex)
install(FILES ${KVX_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME korvanex)

# The Debian package: `make package` (Release build, then cpack -G DEB).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvanex)
set(CPACK_PACKAGE_VENDOR "Korvanex maintainers")
set(CPACK_PACKAGE_CONTACT "Korvanex maintainers <maintainers@korvanex.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reporting and extraction tool for directory trees")
# Lines of at most 80 characters, as Debian's tools show them on a terminal.
set(CPACK_PACKAGE_DESCRIPTION
    "Korvanex reports on the objects of a directory tree. The administrator picks
a tree, a starting container, an object class, the attributes to report and
one of three report modes (Tabular, Tabular Cross, Non Tabular). Every matching
object of the container's subtree becomes rows in a sortable results list, in a
delimited text file, or both. Every choice can be saved to a batch settings
file (.kvx) and run unattended from the command line, also without a display.
An ACME sample tree is included.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvanex.example.org/")
# dpkg-shlibdeps reads the program's ELF dependencies and names the Qt, libldap and libxlsxwriter
# (workbook output) runtime packages with the versions this build needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Qt image plug-in that draws the SVG icons is loaded at run time, so no ELF link shows it.
# libxlsxwriter4 is named as well, so that the workbook output's library is a stated dependency
# whatever shlibdeps finds.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, libxlsxwriter4")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Install layout and the Debian package (cpack -G DEB in a Linux build):
#   /usr/lib/relvo/relvoclient   the connector; relvoclient.ini beside it links to
#   /etc/relvo/relvoclient.ini   its settings (a configuration file); logs in /var/log/relvo
#   /usr/sbin/relvoproxy         the reference proxy server
#   /lib/systemd/system          relvoproxy.service (not enabled), /etc/default/relvoproxy
#   /usr/share/doc/relvo         the guides, the sample ini, a logrotate rule
# The Windows packages take package/relvoclient.ini (logs beside the program).
if(WIN32)
  return()
endif()

# The packages' ini: the commented sample with log rotation turned on.
file(READ ${PROJECT_SOURCE_DIR}/docs/relvoclient.ini RELVO_SAMPLE_INI)
string(REPLACE "\nmax_size_mb=0\n" "\nmax_size_mb=50\n" RELVO_SAMPLE_INI "${RELVO_SAMPLE_INI}")
string(REPLACE "\nkeep=0\n" "\nkeep=5\n" RELVO_SAMPLE_INI "${RELVO_SAMPLE_INI}")
file(WRITE ${CMAKE_BINARY_DIR}/package/relvoclient.ini "${RELVO_SAMPLE_INI}")
set(RELVO_DEB_DIR ${CMAKE_BINARY_DIR}/package/debian)
string(REPLACE "\nfolder=logs\n" "\nfolder=/var/log/relvo\n" RELVO_SAMPLE_INI "${RELVO_SAMPLE_INI}")
file(WRITE ${RELVO_DEB_DIR}/relvoclient.ini "${RELVO_SAMPLE_INI}")
file(MAKE_DIRECTORY ${RELVO_DEB_DIR}/link)
file(CREATE_LINK /etc/relvo/relvoclient.ini ${RELVO_DEB_DIR}/link/relvoclient.ini SYMBOLIC)
file(WRITE ${RELVO_DEB_DIR}/changelog
  "relvo (${PROJECT_VERSION}) stable; urgency=medium\n\n  * Release ${PROJECT_VERSION}.\n\n"
  " -- relvo maintainers <relvo@example.com>  Tue, 08 Dec 2026 00:00:00 +0000\n")
execute_process(COMMAND gzip -9nf ${RELVO_DEB_DIR}/changelog)

install(TARGETS relvoclient RUNTIME DESTINATION usr/lib/relvo)
install(TARGETS relvoproxy RUNTIME DESTINATION usr/sbin)
install(FILES ${RELVO_DEB_DIR}/link/relvoclient.ini DESTINATION usr/lib/relvo)
install(FILES ${RELVO_DEB_DIR}/relvoclient.ini DESTINATION etc/relvo)
install(FILES docs/operator-guide.md docs/architecture.md ${CMAKE_BINARY_DIR}/package/relvoclient.ini
              packaging/relvo.logrotate packaging/debian/copyright ${RELVO_DEB_DIR}/changelog.gz
        DESTINATION usr/share/doc/relvo)
install(FILES packaging/relvoproxy.service DESTINATION lib/systemd/system)
install(FILES packaging/relvoproxy.default DESTINATION etc/default RENAME relvoproxy)

file(WRITE ${RELVO_DEB_DIR}/conffiles "/etc/default/relvoproxy\n/etc/relvo/relvoclient.ini\n")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME relvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "relvo maintainers <relvo@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay connector and reference proxy server")
set(CPACK_PACKAGE_DESCRIPTION "relvoclient keeps a command connection to a proxy server and relays the
connections it is asked for to its target servers; relvoproxy is a small
proxy server for it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME relvo_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${RELVO_DEB_DIR}/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

# Install layout and the Debian package (cpack -G DEB in a Linux build):
#   /opt/relvo          relvoclient, its relvoclient.ini, logs/ (made by postinst), relvoproxy
#   /usr/share/doc/relvo the guides, the sample ini, the logrotate rule
#   /lib/systemd/system  relvoproxy.service (not enabled), /etc/default/relvoproxy
if(WIN32)
  return()
endif()

# The packages' ini: the commented sample with log rotation turned on.
file(READ ${PROJECT_SOURCE_DIR}/docs/relvoclient.ini RELVO_SAMPLE_INI)
string(REPLACE "\nmax_size_mb=0\n" "\nmax_size_mb=50\n" RELVO_SAMPLE_INI "${RELVO_SAMPLE_INI}")
string(REPLACE "\nkeep=0\n" "\nkeep=5\n" RELVO_SAMPLE_INI "${RELVO_SAMPLE_INI}")
file(WRITE ${CMAKE_BINARY_DIR}/package/relvoclient.ini "${RELVO_SAMPLE_INI}")

install(TARGETS relvoclient relvoproxy RUNTIME DESTINATION opt/relvo)
install(FILES ${CMAKE_BINARY_DIR}/package/relvoclient.ini DESTINATION opt/relvo)
install(FILES docs/operator-guide.md docs/architecture.md ${CMAKE_BINARY_DIR}/package/relvoclient.ini
              packaging/relvo.logrotate DESTINATION usr/share/doc/relvo)
install(FILES packaging/relvoproxy.service DESTINATION lib/systemd/system)
install(FILES packaging/relvoproxy.default DESTINATION etc/default RENAME relvoproxy)

file(WRITE ${CMAKE_BINARY_DIR}/package/conffiles "/opt/relvo/relvoclient.ini\n/etc/default/relvoproxy\n")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME relvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "relvo maintainers <relvo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relvo relay connector and reference proxy server")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_DEBIAN_FILE_NAME relvo_${PROJECT_VERSION}_amd64.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/package/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

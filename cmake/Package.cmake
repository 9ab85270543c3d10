# The Debian package (tools/make-deb): the program, its template database, desktop entry, icon
# and user service, with the runtime dependencies read from the shared libraries it links.
include(GNUInstallDirs)

# A user unit lives under lib/ whatever the multiarch library folder is.
install(FILES ${PROJECT_SOURCE_DIR}/data/larchwatcher.service DESTINATION lib/systemd/user)

set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/larchwatcher)
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog ${PROJECT_BINARY_DIR}/package/changelog @ONLY)
# gzip -n: no name or time stamp, so the same tree gives the same package.
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/package/changelog)
install(FILES ${PROJECT_BINARY_DIR}/package/changelog.gz ${PROJECT_SOURCE_DIR}/data/debian/copyright
        DESTINATION ${doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/docs/user-service.md DESTINATION ${doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME larchwatcher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "POP3 mailbox monitor that treats each message by its sender")
set(CPACK_PACKAGE_DESCRIPTION "LarchWatcher watches one POP3 mailbox at a fixed interval and
prints, saves, deletes, refuses or forwards each message by its sender's rule
from a local list database. It runs as a window with a tray icon, or without
a window as a systemd user service.")
set(CPACK_PACKAGE_CONTACT "LarchWatcher developers <larchwatcher-devel@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so no shared-library link names them: the SQLite driver of Qt SQL and a
# font with Japanese glyphs (without one every kanji is an empty box).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite, fonts-noto-cjk | fonts-ipafont-gothic")
# libsecret: the keyring (Secret Service) that keeps the OAuth2 tokens, loaded when present; the
# colour emoji font shows the carriers' emoji.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, libsecret-1-0, fonts-noto-color-emoji")
# The package manager owns /usr; its folders must not be listed as the package's own.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

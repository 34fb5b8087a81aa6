# Installs the manual pages and documentation, and describes the Debian package
# that `cpack -G DEB` builds (scripts/package.sh configures it the Debian way).

# Manual pages are installed compressed, as man-db and Debian expect.
set(ZELTA_MAN_PAGES stdio_executor stdio_client)
set(ZELTA_COMPRESSED_MAN_PAGES)
foreach(page IN LISTS ZELTA_MAN_PAGES)
  set(source ${CMAKE_SOURCE_DIR}/docs/man/${page}.1)
  set(compressed ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${source} > ${compressed}
    DEPENDS ${source} VERBATIM)
  list(APPEND ZELTA_COMPRESSED_MAN_PAGES ${compressed})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${ZELTA_COMPRESSED_MAN_PAGES})
install(FILES ${ZELTA_COMPRESSED_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(ZELTA_CHANGELOG ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${ZELTA_CHANGELOG}
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${ZELTA_CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${ZELTA_CHANGELOG})
install(FILES README.md docs/reliability.md docs/protocol.schema.json packaging/copyright
              ${ZELTA_CHANGELOG}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME zelta-stdio-executor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zelta_stdio_executor maintainers <maintainers@users.noreply.c-seed-290be270.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-execution back end driven over a JSON-lines protocol")
set(CPACK_PACKAGE_DESCRIPTION "stdio_executor is started by a front end (an editor, a terminal
user interface) as a child process and driven over its standard streams, one
JSON message per line each way. It runs a single command on a new
pseudo-terminal, streaming its output and taking typed input and signals, or a
pipeline of plain commands over pipes, and reads files, expands glob patterns
and hands out process-substitution paths.
.
stdio_client is a small front end that runs a command line through the
executor in the user's own terminal.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

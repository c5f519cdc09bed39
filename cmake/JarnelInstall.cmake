# What `cmake --install` puts in place: the shared library, the tool, the jar, the tool's man
# page (made from the user guide) and the user guide itself.
include(GNUInstallDirs)

find_program(JARNEL_AWK NAMES awk mawk gawk REQUIRED)
set(JARNEL_MAN_PAGE ${CMAKE_BINARY_DIR}/man/jarnel-tool.1)
add_custom_command(OUTPUT ${JARNEL_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${JARNEL_AWK} -f ${CMAKE_SOURCE_DIR}/cmake/md2man.awk ${CMAKE_SOURCE_DIR}/docs/user/jarnel-tool.md
    > ${JARNEL_MAN_PAGE}
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/md2man.awk ${CMAKE_SOURCE_DIR}/docs/user/jarnel-tool.md
  COMMENT "man page: jarnel-tool.1" VERBATIM)
add_custom_target(man_pages ALL DEPENDS ${JARNEL_MAN_PAGE})

install(TARGETS jarnel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS jarnel-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/java/jarnel.jar DESTINATION ${CMAKE_INSTALL_DATADIR}/java)
install(FILES ${JARNEL_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/user/ DESTINATION ${CMAKE_INSTALL_DOCDIR})

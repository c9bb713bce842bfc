# A tool's manual page, NAME.SECTION.scd beside its CMakeLists.txt, built with everything and
# installed compressed, as Debian installs manual pages. Without scdoc no page is built.
find_program(SCDOC scdoc)

function(add_manual_page name section component)
  if(NOT SCDOC)
    return()
  endif()
  set(page ${name}.${section})
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${SCDOC} < ${CMAKE_CURRENT_SOURCE_DIR}/${page}.scd > ${page}
    COMMAND gzip -9nf ${page}
    DEPENDS ${page}.scd
    COMMENT "Building the ${name} manual page")
  add_custom_target(${name}_manual ALL DEPENDS ${page}.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
    COMPONENT ${component})
endfunction()

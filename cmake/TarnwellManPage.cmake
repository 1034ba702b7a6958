# tarnwell_add_man_page(TARGET COMPONENT COMPONENT NAME "WHAT IT DOES" [SECTION N])
#
# Generates the man page of the program TARGET at build time with help2man,
# from the program's own --help and --version, so the page never drifts from
# the help text (its "usage:" lines become the page's SYNOPSIS); installs it with COMPONENT. NAME is the one-line summary
# after the program's name in the page's NAME section. The program runs on
# the build machine, so this needs a native build.
function(tarnwell_add_man_page target)
  cmake_parse_arguments(M "" "COMPONENT;NAME;SECTION" "" ${ARGN})
  if(NOT TARNWELL_MAN_PAGES)
    return()
  endif()
  if(NOT M_COMPONENT OR NOT M_NAME)
    message(FATAL_ERROR "tarnwell_add_man_page(${target}): COMPONENT and NAME are required")
  endif()
  if(NOT M_SECTION)
    set(M_SECTION 1)
  endif()
  find_program(TARNWELL_HELP2MAN help2man)
  if(NOT TARNWELL_HELP2MAN)
    message(FATAL_ERROR "help2man not found: install the Debian package help2man "
      "(scripts/install-deps does), or configure with -DTARNWELL_MAN_PAGES=OFF")
  endif()

  get_target_property(program ${target} OUTPUT_NAME)
  if(NOT program)
    set(program ${target})
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${program}.${M_SECTION})
  # help2man reads the program through a wrapper of the same name that turns
  # our "usage:" lines into the form it takes a SYNOPSIS from.
  set(filter ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/help-for-man.sh)
  set(wrapper ${CMAKE_BINARY_DIR}/man/help/${program})
  file(GENERATE OUTPUT ${wrapper}
    CONTENT "#!/bin/sh\nexec /bin/sh '${filter}' '$<TARGET_FILE:${target}>' \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
  # help2man takes SOURCE_DATE_EPOCH for the page's date, which keeps package
  # builds reproducible.
  add_custom_command(OUTPUT ${page}
    COMMAND ${TARNWELL_HELP2MAN} --no-info --section=${M_SECTION} --name=${M_NAME}
            --output=${page} ${wrapper}
    DEPENDS ${target} ${filter} ${wrapper}
    COMMENT "Generating man page ${program}.${M_SECTION}"
    VERBATIM)
  add_custom_target(${target}_man_page ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${M_SECTION} COMPONENT ${M_COMPONENT})
endfunction()

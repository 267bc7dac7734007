# Install rules and packages.
#
#   cmake --install build              the program, manual page and documents
#   cd build && cpack -G DEB           parvane-convert_<version>_amd64.deb
#   cd build-windows && cpack -G ZIP   parvane-convert-<version>-win64.zip
#
# Every version number comes from project(... VERSION ...).
#
# Layout on Linux (prefix /usr in the Debian package, the DEB default):
#   bin/parvane-convert
#   share/man/man1/parvane-convert.1.gz
#   share/doc/parvane-convert/{README.md,LICENSE,copyright,changelog.gz}
#   share/doc/parvane-convert/examples/{tp*,tz*,ts*}
#
# Layout of the Windows zip (one folder, run the program from examples):
#   parvane-convert-<version>-win64/parvane-convert.exe
#   parvane-convert-<version>-win64/README.txt, LICENSE.txt  (CR LF line ends)
#   parvane-convert-<version>-win64/examples/{tp*,tz*,ts*}

set(parvane_root ${CMAKE_CURRENT_LIST_DIR}/..)
set(parvane_out ${CMAKE_CURRENT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${parvane_out})

set(PARVANE_PACKAGE_MAINTAINER
    "The parvane-convert authors <maintainers@users.noreply.c-seed-94e9431f.example>"
    CACHE STRING "Maintainer of the packages: name <address>")

# Writes a file only when its content changes, so nothing rebuilds needlessly.
function(parvane_write path content)
  file(WRITE ${path}.new "${content}")
  file(COPY_FILE ${path}.new ${path} ONLY_IF_DIFFERENT)
  file(REMOVE ${path}.new)
endfunction()

file(GLOB parvane_example_sets CONFIGURE_DEPENDS
     ${parvane_root}/examples/tp* ${parvane_root}/examples/tz*
     ${parvane_root}/examples/ts*)

if(WIN32)
  # Everything in one folder; the program beside README and licence.
  install(TARGETS parvane-convert RUNTIME DESTINATION .)
  foreach(parvane_doc README.md LICENSE)
    file(READ ${parvane_root}/${parvane_doc} parvane_text)
    string(REPLACE "\r\n" "\n" parvane_text "${parvane_text}")
    string(REPLACE "\n" "\r\n" parvane_text "${parvane_text}")
    get_filename_component(parvane_stem ${parvane_doc} NAME_WE)
    parvane_write(${parvane_out}/${parvane_stem}.txt "${parvane_text}")
    install(FILES ${parvane_out}/${parvane_stem}.txt DESTINATION .)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${parvane_root}/README.md ${parvane_root}/LICENSE)
  install(FILES ${parvane_example_sets} DESTINATION examples)
else()
  include(GNUInstallDirs)
  set(parvane_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/parvane-convert)
  install(TARGETS parvane-convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (cpack, cmake --install --strip) also drops the
  # compiler's version strings, as Debian's own packaging does.
  if(CMAKE_OBJCOPY)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/parvane-convert\"
          COMMAND_ERROR_IS_FATAL ANY)
      endif()")
  endif()
  install(FILES ${parvane_root}/README.md ${parvane_root}/LICENSE
          DESTINATION ${parvane_docdir})
  install(FILES ${parvane_example_sets} DESTINATION ${parvane_docdir}/examples)

  # The manual page, with the project version in its footer.
  file(READ ${parvane_root}/docs/parvane-convert.1 parvane_man)
  string(REGEX REPLACE "\"parvane\\\\-convert [0-9.]+\""
         "\"parvane\\\\-convert ${PROJECT_VERSION}\"" parvane_man "${parvane_man}")
  parvane_write(${parvane_out}/parvane-convert.1 "${parvane_man}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${parvane_root}/docs/parvane-convert.1)

  # Debian's copyright file (machine-readable format) from LICENSE: the
  # permission notice below the copyright line, indented, blank lines " .".
  file(STRINGS ${parvane_root}/LICENSE parvane_license_lines)
  set(PARVANE_LICENSE_TEXT "")
  set(parvane_in_notice FALSE)
  foreach(parvane_line IN LISTS parvane_license_lines)
    if(parvane_in_notice)
      if(parvane_line STREQUAL "")
        string(APPEND PARVANE_LICENSE_TEXT " .\n")
      else()
        string(APPEND PARVANE_LICENSE_TEXT " ${parvane_line}\n")
      endif()
    elseif(parvane_line MATCHES "^Copyright ")
      set(parvane_in_notice TRUE)
    endif()
  endforeach()
  string(REGEX REPLACE "^ \\.\n" "" PARVANE_LICENSE_TEXT "${PARVANE_LICENSE_TEXT}")
  string(REGEX REPLACE "\n$" "" PARVANE_LICENSE_TEXT "${PARVANE_LICENSE_TEXT}")
  configure_file(${parvane_root}/cmake/debian/copyright.in
                 ${parvane_out}/copyright @ONLY)
  install(FILES ${parvane_out}/copyright DESTINATION ${parvane_docdir})

  # Debian's changelog of a native package. The date honours
  # SOURCE_DATE_EPOCH for reproducible builds.
  string(TIMESTAMP PARVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${parvane_root}/cmake/debian/changelog.in
                 ${parvane_out}/changelog @ONLY)

  # Debian wants both compressed with gzip -9n (no name, no time stamp).
  find_program(PARVANE_GZIP gzip)
  if(PARVANE_GZIP)
    add_custom_command(
      OUTPUT ${parvane_out}/parvane-convert.1.gz ${parvane_out}/changelog.gz
      COMMAND ${PARVANE_GZIP} -9n -c parvane-convert.1 > parvane-convert.1.gz
      COMMAND ${PARVANE_GZIP} -9n -c changelog > changelog.gz
      DEPENDS ${parvane_out}/parvane-convert.1 ${parvane_out}/changelog
      WORKING_DIRECTORY ${parvane_out}
      COMMENT "Compressing the manual page and changelog"
      VERBATIM)
    add_custom_target(parvane_compressed_docs ALL
      DEPENDS ${parvane_out}/parvane-convert.1.gz ${parvane_out}/changelog.gz)
    install(FILES ${parvane_out}/parvane-convert.1.gz
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${parvane_out}/changelog.gz DESTINATION ${parvane_docdir})
  else()
    message(STATUS "gzip not found: installing the manual page uncompressed")
    install(FILES ${parvane_out}/parvane-convert.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${parvane_out}/changelog DESTINATION ${parvane_docdir})
  endif()
endif()

# CPack: one description for both packages.
set(CPACK_PACKAGE_NAME parvane-convert)
set(CPACK_PACKAGE_VENDOR "The parvane-convert authors")
set(CPACK_PACKAGE_CONTACT "${PARVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "convert STM file sets into Omicron SCALA file sets")
# Lines of at most 79 characters: the Debian package shows them as they are.
set(CPACK_PACKAGE_DESCRIPTION
"parvane-convert converts scanning tunnelling microscope measurements from
the numbered file sets of the acquisition system (parameter record tp<n>,
topography tz<n>, optional spectroscopy ts<n>) into Omicron SCALA file sets
(m<n>_ori.par with the forward and backward topography and spectroscopy
planes) that SCALA-reading analysis software such as Gwyddion opens.

Run it in the directory that holds the sets; the converted files are
written beside the sources. Example sets are included.")
set(CPACK_RESOURCE_FILE_LICENSE ${parvane_root}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${parvane_root}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out[^/]*/")

if(WIN32)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PARVANE_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS gwyddion)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)

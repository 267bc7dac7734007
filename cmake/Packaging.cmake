# The documents and example sets in the packages, and the packages.
#
#   cmake --install build              the programs, manual pages and documents
#   cd build && cpack -G DEB           parvane-convert_<version>_amd64.deb
#   cd build-windows && cpack -G ZIP   parvane-convert-<version>-win64.zip
#
# Every version number comes from project(... VERSION ...). The programs and
# their manual pages are added where each program is defined, with
# parvane_install_program() and parvane_add_manual_page()
# (cmake/ParvaneTargets.cmake).
#
# Layout on Linux (prefix /usr in the Debian package, the DEB default):
#   bin/parvane-convert, bin/parvane-export, bin/parvane-example-sets
#   share/man/man1/{parvane-convert,parvane-export,parvane-example-sets}.1.gz
#   share/doc/parvane-convert/{README.md,LICENSE,copyright,changelog.gz}
#   share/doc/parvane-convert/docs/{example-forward,export-grid,
#     python-example}.png and the reference documents (*.md) the README
#     links, each beside the files it links in turn
#   share/doc/python3-parvane/{python.md,python-settings.md,
#     python-example.png,copyright,changelog.gz}  (python3-parvane)
#   share/doc/parvane-convert/examples/{tp*,tz*,ts*}
#
# Layout of the Windows zip (one folder, run the program from examples):
#   parvane-convert-<version>-win64/parvane-convert.exe
#   parvane-convert-<version>-win64/parvane-export.exe
#   parvane-convert-<version>-win64/README.txt  (docs/README-windows.txt)
#   parvane-convert-<version>-win64/LICENSE.txt
#   parvane-convert-<version>-win64/examples/{tp*,tz*,ts*}
# README.txt and LICENSE.txt have CR LF line ends.

set(parvane_root ${CMAKE_CURRENT_LIST_DIR}/..)
set(parvane_out ${PARVANE_PACKAGING_DIR})

set(PARVANE_PACKAGE_MAINTAINER
    "The parvane-convert authors <maintainers@users.noreply.c-seed-94e9431f.example>"
    CACHE STRING "Maintainer of the packages: name <address>")

file(GLOB parvane_example_sets CONFIGURE_DEPENDS
     ${parvane_root}/examples/tp* ${parvane_root}/examples/tz*
     ${parvane_root}/examples/ts*)

if(WIN32)
  # The zip's README is written for Windows users (docs/README-windows.txt);
  # the README.md of the source tree is about building and links files the
  # zip does not hold. Both texts get Windows line ends.
  configure_file(${parvane_root}/docs/README-windows.txt
                 ${parvane_out}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${parvane_root}/LICENSE ${parvane_out}/LICENSE.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${parvane_out}/README.txt ${parvane_out}/LICENSE.txt
          DESTINATION . COMPONENT cli)
  install(FILES ${parvane_example_sets} DESTINATION examples COMPONENT cli)
else()
  set(parvane_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/parvane-convert)
  # What the README links keeps its place beside it, so that its links hold.
  install(FILES ${parvane_root}/README.md ${parvane_root}/LICENSE
          DESTINATION ${parvane_docdir} COMPONENT cli)
  # The reference the README points to, with the pictures it and they show;
  # the packaging check follows every link of each installed document.
  set(parvane_reference_documents
      building.md conversion.md DESIGN.md example-sets.md export.md
      formats.md python.md python-settings.md results.md unusual-cases.md
      windows.md example-forward.png export-grid.png python-example.png)
  list(TRANSFORM parvane_reference_documents PREPEND ${parvane_root}/docs/)
  install(FILES ${parvane_reference_documents}
          DESTINATION ${parvane_docdir}/docs COMPONENT cli)
  install(FILES ${parvane_example_sets} DESTINATION ${parvane_docdir}/examples
          COMPONENT cli)

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
  install(FILES ${parvane_out}/copyright DESTINATION ${parvane_docdir}
          COMPONENT cli)

  # Debian's changelog of a native package. The date honours
  # SOURCE_DATE_EPOCH for reproducible builds.
  string(TIMESTAMP PARVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${parvane_root}/cmake/debian/changelog.in
                 ${parvane_out}/changelog @ONLY)
  parvane_install_compressed(${parvane_out}/changelog ${parvane_docdir})

  # The Python package (component python, package python3-parvane): the
  # package parvane and its dist-info, whose entry point registers the
  # xarray engine with no pip, in Debian's path for modules of every
  # Python 3; its own copyright, changelog and reference page.
  if(TARGET _parvane)
    set(parvane_python_site lib/python3/dist-packages)
    set(parvane_python_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-parvane)
    install(TARGETS _parvane LIBRARY DESTINATION ${parvane_python_site}/parvane
            COMPONENT python)
    install(DIRECTORY ${PROJECT_BINARY_DIR}/python/parvane/
            DESTINATION ${parvane_python_site}/parvane COMPONENT python
            FILES_MATCHING PATTERN "*.py"
            PATTERN "__pycache__" EXCLUDE)
    install(DIRECTORY
              ${PROJECT_BINARY_DIR}/python/parvane-${PROJECT_VERSION}.dist-info
            DESTINATION ${parvane_python_site} COMPONENT python)
    install(FILES ${parvane_out}/copyright ${parvane_root}/docs/python.md
                  ${parvane_root}/docs/python-settings.md
                  ${parvane_root}/docs/python-example.png
            DESTINATION ${parvane_python_docdir} COMPONENT python)
    configure_file(${parvane_root}/cmake/debian/python3-parvane/changelog.in
                   ${parvane_out}/python3-parvane/changelog @ONLY)
    parvane_install_compressed(${parvane_out}/python3-parvane/changelog
                               ${parvane_python_docdir} python)
    set(parvane_python_package ON)
  endif()
endif()

# CPack: one description for both packages.
set(CPACK_PACKAGE_NAME parvane-convert)
set(CPACK_PACKAGE_VENDOR "The parvane-convert authors")
set(CPACK_PACKAGE_CONTACT "${PARVANE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(parvane_summary "convert STM file sets into Omicron SCALA file sets")
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${parvane_summary}")
endif()
# (The Debian packages take their summaries from their own descriptions'
# first lines: a package summary set here would head both of them.)
# Lines of at most 79 characters: the Debian package shows them as they are.
set(CPACK_PACKAGE_DESCRIPTION
"parvane-convert converts scanning tunnelling microscope measurements from
the numbered file sets of the acquisition system (parameter record tp<n>,
topography tz<n>, optional spectroscopy ts<n>) into Omicron SCALA file sets
(m<n>_ori.par with the forward and backward topography and spectroscopy
planes) that SCALA-reading analysis software such as Gwyddion opens.

Run it in the directory that holds the sets; the converted files are
written beside the sources. Example sets are included, and
parvane-example-sets writes sets of any size to try it on.

parvane-export writes each set as one Gwyddion GWY file instead: the
topography as images and the spectroscopy grid as volume data, in physical
units, with the record's settings as metadata.")
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
  # One package per component: every install rule names its component, and
  # a file of none would land in no package at all (.ci/package.sh checks
  # that the packages together hold what an install does).
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL cli)
  set(CPACK_DEBIAN_CLI_PACKAGE_NAME parvane-convert)
  set(CPACK_DEBIAN_CLI_DESCRIPTION
      "${parvane_summary}\n${CPACK_PACKAGE_DESCRIPTION}")
  if(parvane_python_package)
    list(APPEND CPACK_COMPONENTS_ALL python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-parvane)
    # Built from the same source as parvane-convert, whose changelog it
    # carries.
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SOURCE parvane-convert)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE amd64)
    # The compiled module is built for Debian 12's Python 3.11 alone.
    set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
        "python3 (>= 3.11~), python3 (<< 3.12), python3-numpy, python3-xarray")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS
        "python3-netcdf4 | python3-h5netcdf, python3-dask")
    set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS parvane-convert)
    set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
        ${parvane_root}/cmake/debian/python3-parvane/postinst
        ${parvane_root}/cmake/debian/python3-parvane/prerm)
    set(CPACK_COMPONENT_PYTHON_DESCRIPTION
        "open STM file sets as xarray Datasets in physical units")
    set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"open STM file sets as xarray Datasets in physical units
The Python package parvane opens the numbered file sets of the acquisition
system (parameter record tp<n>, topography tz<n>, optional spectroscopy
ts<n>) as xarray Datasets: the topography in metres and the spectroscopy
grid as currents in amperes over the bias in volts, read lazily a box at a
time, with the record's settings as attributes that survive NetCDF.
.
It registers the xarray engine parvane, so xarray.open_dataset opens a
set's files directly.")
  endif()
endif()

include(CPack)

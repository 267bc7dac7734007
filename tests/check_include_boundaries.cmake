# Fails when a library includes a header of a library it must not see:
#   src/core     only the core
#   src/convert, src/driver   the core and the converter
#   src/export   the core and the export
# Every source includes through the one root src/, so linking alone would
# not stop an include across the line.
#   cmake -DSOURCE_DIR=<project>/src -P check_include_boundaries.cmake
set(forbidden_core "convert/|driver/|export/")
set(forbidden_convert "export/")
set(forbidden_driver "export/")
set(forbidden_export "convert/|driver/")
set(crossings "")
foreach(library core convert driver export)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${library}/*.h
                            ${SOURCE_DIR}/${library}/*.cpp)
  foreach(source IN LISTS sources)
    file(STRINGS ${source} lines REGEX "^#include \"(${forbidden_${library}})")
    foreach(line IN LISTS lines)
      string(APPEND crossings "\n  ${source}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(NOT crossings STREQUAL "")
  message(FATAL_ERROR "includes across the libraries' lines:${crossings}")
endif()

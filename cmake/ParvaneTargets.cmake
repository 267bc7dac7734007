# What every target of the project shares, and what each of its programs
# needs to be built and shipped. Flags live on targets, never in the global
# compile options, so that nothing built beside our code (GoogleTest built
# from source for the Windows suite) gets our warnings or sanitizers.
#
#   parvane_warnings    interface target: the warning flags of our own code
#   parvane_sanitizers  interface target: PARVANE_SANITIZE's checks, compile
#                       and link flags (empty when it is empty)
#   parvane_use_project_flags(<target>)
#                       links both to <target>; every target built from our
#                       sources calls it
#   parvane_add_version_resource(<target> <description>)
#                       on Windows, the version information Explorer shows
#                       under Properties > Details (a no-op elsewhere)
#   parvane_install_program(<target>)
#                       the program in the packages: bin/ on Linux (its
#                       compiler notes stripped with it), the zip's top
#                       folder on Windows
#   parvane_add_manual_page(<page source>)
#                       section 1 page with @PROJECT_VERSION@ filled in,
#                       compressed and installed (Linux only)
#
#   parvane_add_program(<target> <main source> <library> <description>
#                       <page source>)
#                       all of the above for one program of the project,
#                       linked to its own library (and through it the core)
#
# A further program of the project is then, in the top-level CMakeLists.txt:
#
#   parvane_add_program(parvane-example src/example/main.cpp parvane_example
#     "What it does, briefly" docs/parvane-example.1)
#
# and a paragraph about it in docs/README-windows.txt, the zip's README.txt.

set(parvane_sanitize_doc
    "Sanitizers for the project's own code: address,undefined or thread (empty: none)")
set(PARVANE_SANITIZE "" CACHE STRING "${parvane_sanitize_doc}")
# ON and OFF, the option's former spelling, still mean AddressSanitizer with
# UndefinedBehaviorSanitizer, and none.
if(PARVANE_SANITIZE STREQUAL "ON")
  set(PARVANE_SANITIZE address,undefined CACHE STRING "${parvane_sanitize_doc}" FORCE)
elseif(PARVANE_SANITIZE STREQUAL "OFF")
  set(PARVANE_SANITIZE "" CACHE STRING "${parvane_sanitize_doc}" FORCE)
endif()
set(parvane_sanitize "${PARVANE_SANITIZE}")
# A fuzz target finds faults through the sanitizers' reports; without them it
# would only find crashes.
if(PARVANE_BUILD_FUZZERS AND parvane_sanitize STREQUAL "")
  set(parvane_sanitize address,undefined)
endif()

add_library(parvane_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(parvane_warnings INTERFACE -Wall -Wextra -Wpedantic)
endif()

add_library(parvane_sanitizers INTERFACE)
if(NOT parvane_sanitize STREQUAL "")
  if(NOT parvane_sanitize MATCHES "^(address,undefined|undefined,address|address|undefined|thread)$")
    message(FATAL_ERROR "PARVANE_SANITIZE=${PARVANE_SANITIZE}: use "
                        "address,undefined or thread")
  endif()
  # Stop at the first report, so that a test sees the program fail.
  target_compile_options(parvane_sanitizers INTERFACE
    -fsanitize=${parvane_sanitize} -fno-omit-frame-pointer
    -fno-sanitize-recover=all)
  target_link_options(parvane_sanitizers INTERFACE -fsanitize=${parvane_sanitize})
endif()

function(parvane_use_project_flags target)
  target_link_libraries(${target} PRIVATE parvane_warnings parvane_sanitizers)
endfunction()

# The resource script is made from cmake/version.rc.in for each program and
# compiled by the MinGW resource compiler (windres) into the executable.
function(parvane_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(PARVANE_RC_DESCRIPTION "${description}")
  set(PARVANE_RC_FILE_NAME "${target}${CMAKE_EXECUTABLE_SUFFIX}")
  set(PARVANE_RC_INTERNAL_NAME "${target}")
  # FILEVERSION takes four numbers; project(VERSION 2.2) gives two.
  foreach(part MAJOR MINOR PATCH TWEAK)
    set(PARVANE_RC_${part} "${PROJECT_VERSION_${part}}")
    if(PARVANE_RC_${part} STREQUAL "")
      set(PARVANE_RC_${part} 0)
    endif()
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${script} @ONLY)
  target_sources(${target} PRIVATE ${script})
endfunction()

set(PARVANE_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${PARVANE_PACKAGING_DIR})
if(NOT WIN32)
  include(GNUInstallDirs)
  find_program(PARVANE_GZIP gzip)
endif()

function(parvane_install_program target)
  if(WIN32)
    # Everything in one folder: the programs beside README and licence.
    install(TARGETS ${target} RUNTIME DESTINATION . COMPONENT cli)
    return()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT cli)
  # A stripped install (cpack, cmake --install --strip) also drops the
  # compiler's version strings, as Debian's own packaging does.
  if(CMAKE_OBJCOPY)
    install(CODE "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\"
          COMMAND_ERROR_IS_FATAL ANY)
      endif()" COMPONENT cli)
  endif()
endfunction()

# Debian wants documentation compressed with gzip -9n (no name, no time
# stamp). Installs <file> (a file of the build tree) as <file>.gz in
# <destination>, or as it is where there is no gzip, in the package of
# [component] (default: cli, the programs' package).
function(parvane_install_compressed file destination)
  set(component cli)
  if(ARGC GREATER 2)
    set(component ${ARGV2})
  endif()
  if(NOT PARVANE_GZIP)
    install(FILES ${file} DESTINATION ${destination} COMPONENT ${component})
    return()
  endif()
  get_filename_component(name ${file} NAME)
  get_filename_component(dir ${file} DIRECTORY)
  add_custom_command(
    OUTPUT ${file}.gz
    COMMAND ${PARVANE_GZIP} -9n -c ${name} > ${name}.gz
    DEPENDS ${file}
    WORKING_DIRECTORY ${dir}
    COMMENT "Compressing ${name}"
    VERBATIM)
  file(RELATIVE_PATH relative ${PROJECT_BINARY_DIR} ${file})
  string(MAKE_C_IDENTIFIER "parvane_compress_${relative}" compress_target)
  add_custom_target(${compress_target} ALL DEPENDS ${file}.gz)
  install(FILES ${file}.gz DESTINATION ${destination} COMPONENT ${component})
endfunction()

# The page's source names the version only as @PROJECT_VERSION@ (in its .TH
# line), so nothing else in it can be rewritten; configure_file writes the
# page again only when the source or the version changed.
function(parvane_add_manual_page source)
  if(WIN32)
    return()
  endif()
  get_filename_component(name ${source} NAME)
  configure_file(${PROJECT_SOURCE_DIR}/${source} ${PARVANE_PACKAGING_DIR}/${name} @ONLY)
  get_filename_component(section ${name} LAST_EXT)
  string(SUBSTRING ${section} 1 -1 section)
  parvane_install_compressed(${PARVANE_PACKAGING_DIR}/${name}
                             ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

function(parvane_add_program target main library description page)
  add_executable(${target} ${main})
  target_link_libraries(${target} PRIVATE ${library})
  parvane_use_project_flags(${target})
  parvane_add_version_resource(${target} "${description}")
  parvane_install_program(${target})
  parvane_add_manual_page(${page})
endfunction()

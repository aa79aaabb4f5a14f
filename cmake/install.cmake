# What `cmake --install` puts where, and the Debian packages CPack makes of it
# (scripts/package.sh). Only the programs a user runs are installed: tests, benchmarks, fuzz
# programs and qdqm-dialog-shot have no install rules.
#
# Linux, two components, one package each:
#   update  qdqm-update, its desktop entry, icons and manual page
#   sim     qdqm-sim and qdqm-datafile (the simulator and the data-file writer: test and
#           demonstration tools a service technician does not need), their manual pages
# Windows: qdqm-update.exe and the read-me of the portable copy in the top folder; the zip and the
# setup program are made of that by scripts/package-windows.sh.

set(QDQM_PACKAGE_MAINTAINER
    "Seed 2d2bbdb4 maintainers <maintainers@users.noreply.c-seed-2d2bbdb4.example>"
    CACHE STRING "Maintainer field of the packages")

if(WIN32)
  install(TARGETS qdqm-update RUNTIME DESTINATION . COMPONENT update)
  set(VERSION ${PROJECT_VERSION})
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/README.txt
                 ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION . COMPONENT update)
  return()
endif()

include(GNUInstallDirs)

install(TARGETS qdqm-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT update)
install(TARGETS qdqm-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
if(TARGET qdqm-datafile)
  install(TARGETS qdqm-datafile RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sim)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/data/qdqm-update.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT update)
foreach(size 16 32 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/data/icons/qdqm-update-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME qdqm-update.png COMPONENT update)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/data/icons/qdqm-update.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT update)

# Manual pages, changelogs and copyright files compressed as Debian wants them (gzip -9n: no
# name or time stamp in the header, so the same sources give the same bytes). Made at configure
# time: they are data, and `cmake --install` must find them without building anything.
find_program(QDQM_GZIP gzip REQUIRED)
set(doc_dir ${CMAKE_BINARY_DIR}/packaging)
string(TIMESTAMP QDQM_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
# The changelog's date is that of the commit built, where git knows it, so that the same commit
# gives the same packages.
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 "--date=format:%a, %d %b %Y %H:%M:%S %z"
                          --format=%cd
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE git_date
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(git_date)
    set(QDQM_PACKAGE_DATE "${git_date}")
  endif()
endif()

function(qdqm_gzip_configured source target)
  configure_file(${source} ${doc_dir}/${target} @ONLY)
  execute_process(COMMAND ${QDQM_GZIP} -9nf ${doc_dir}/${target} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${doc_dir}/${target} failed")
  endif()
endfunction()

foreach(program qdqm-update qdqm-sim qdqm-datafile)
  qdqm_gzip_configured(${CMAKE_SOURCE_DIR}/data/man/${program}.1.in ${program}.1)
endforeach()
install(FILES ${doc_dir}/qdqm-update.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT update)
install(FILES ${doc_dir}/qdqm-sim.1.gz ${doc_dir}/qdqm-datafile.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sim)

foreach(package qdqm-update qdqm-sim)
  set(QDQM_PACKAGE ${package})
  qdqm_gzip_configured(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in ${package}/changelog)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${doc_dir}/${package}/copyright
                 COPYONLY)
endforeach()
install(FILES ${doc_dir}/qdqm-update/changelog.gz ${doc_dir}/qdqm-update/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qdqm-update COMPONENT update)
install(FILES ${doc_dir}/qdqm-sim/changelog.gz ${doc_dir}/qdqm-sim/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qdqm-sim COMPONENT sim)

# The Debian packages: qdqm-update_<version>_amd64.deb and qdqm-sim_<version>_amd64.deb, with
# their dependencies found by dpkg-shlibdeps in the stripped programs.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qdqm-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QDQM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL update sim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QDQM_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE qdqm-update)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_UPDATE_PACKAGE_NAME qdqm-update)
set(CPACK_DEBIAN_SIM_PACKAGE_NAME qdqm-sim)
set(CPACK_DEBIAN_UPDATE_DESCRIPTION
    "firmware update tool for QD/QM signal-processing modules
Reprograms the firmware of the QD, QM, PS and PN families of
signal-processing modules over a serial port: the controller's program,
then the FPGA and the MPEG decoder where the module has them, and base
units with modules in their slots. Without arguments qdqm-update opens
its dialog; its commands (ports, connect, update) run the same
procedures in a terminal, for scripts and service stations.")
set(CPACK_DEBIAN_SIM_DESCRIPTION
    "simulator of QD/QM modules for qdqm-update
qdqm-sim plays a module's controller, its coprocessors, or a base unit
with modules in its slots, on a pseudo-terminal, so that qdqm-update
talks to it as to hardware; faults can be added on demand. qdqm-datafile
writes synthetic update data files and coprocessor images for it.
Test and demonstration tools: no module is needed.")
include(CPack)

# Installation as CUPS filters: the programs go where the scheduler looks for
# filters, the sample PPDs of the printers they serve beside its other models.
#
#   cmake --install <build> --prefix /usr
#
# puts brovane (and its raster-input build as brovane-pwg), calmeric and
# dunsiple in /usr/lib/cups/filter, the PPDs in
# /usr/share/ppd/printfilters (where the scheduler looks for drivers),
# brovane-enable in /usr/sbin, its MIME type and rule in /usr/share/cups/mime
# the scheduler's gziptoany in /usr/lib/printfilters and the manual pages in
# /usr/share/man/man8. The scheduler runs only filters that
# neither group nor others may write, in folders of the same kind, so files
# and the folders made for them get fixed modes whatever the umask.

# CUPS keeps its programs under lib/cups on every architecture (no multiarch
# or lib64 folder), so these are not derived from GNUInstallDirs.
set(FILTERS_INSTALL_FILTERDIR "lib/cups/filter" CACHE STRING
    "Folder (under the prefix) for the filter programs")
set(FILTERS_INSTALL_MODELDIR "share/ppd/${PROJECT_NAME}" CACHE STRING
    "Folder (under the prefix) for the sample PPDs")
set(FILTERS_INSTALL_MANDIR "share/man" CACHE STRING "Folder (under the prefix) for the manual pages")
set(FILTERS_INSTALL_MIMEDIR "share/cups/mime" CACHE STRING
    "Folder (under the prefix) where the scheduler reads MIME types and conversions")
set(FILTERS_INSTALL_SBINDIR "sbin" CACHE STRING "Folder (under the prefix) for administrators' commands")
set(FILTERS_INSTALL_HELPERDIR "lib/${PROJECT_NAME}" CACHE STRING
    "Folder (under the prefix) for programs the scheduler runs by another name")

if(NOT DEFINED CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS)
  set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

set(_filters_program_mode
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(_filters_ppd_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# filters_install(<target> <ppd files...>): the program, its manual page and
# the PPDs of the printers it serves.
function(filters_install target)
  install(TARGETS ${target} RUNTIME DESTINATION ${FILTERS_INSTALL_FILTERDIR}
          PERMISSIONS ${_filters_program_mode})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${target}.8 DESTINATION ${FILTERS_INSTALL_MANDIR}/man8
          PERMISSIONS ${_filters_ppd_mode})
  set(ppds)
  foreach(ppd ${ARGN})
    list(APPEND ppds ${PROJECT_SOURCE_DIR}/ppd/${ppd})
  endforeach()
  if(ppds)
    install(FILES ${ppds} DESTINATION ${FILTERS_INSTALL_MODELDIR} PERMISSIONS ${_filters_ppd_mode})
  endif()
endfunction()

filters_install(brovane colour-600.ppd receipt-80mm.ppd)
# The raster-input build, for the PWG raster that Android phones send to the
# queues brovane-enable changed (printfilters.convs names it).
install(PROGRAMS $<TARGET_FILE:brovane-rasterin> DESTINATION ${FILTERS_INSTALL_FILTERDIR} RENAME brovane-pwg
        PERMISSIONS ${_filters_program_mode})
filters_install(calmeric urf-raster.ppd)
filters_install(dunsiple cmyk-photo.ppd)

# brovane-enable, its manual page, and the MIME type and conversion that the
# queues it changes use.
install(TARGETS brovane-enable RUNTIME DESTINATION ${FILTERS_INSTALL_SBINDIR} PERMISSIONS ${_filters_program_mode})
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/brovane-enable.8 DESTINATION ${FILTERS_INSTALL_MANDIR}/man8
        PERMISSIONS ${_filters_ppd_mode})
install(TARGETS printfilters-gunzip RUNTIME DESTINATION ${FILTERS_INSTALL_HELPERDIR}
        PERMISSIONS ${_filters_program_mode})
install(FILES ${PROJECT_SOURCE_DIR}/brovane-enable/printfilters.types ${PROJECT_SOURCE_DIR}/brovane-enable/printfilters.convs
        DESTINATION ${FILTERS_INSTALL_MIMEDIR} PERMISSIONS ${_filters_ppd_mode})

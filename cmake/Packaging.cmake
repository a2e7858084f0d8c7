# Install rules and the Debian package (cpack -G DEB). A packaged build sets
# -DFENWOLD_DEFAULT_LOG_DIR=/var/log/fenwold so that the service and fenwoldctl find the log
# without FENWOLD_LOG_DIR.
set(FENWOLD_DEFAULT_LOG_DIR "" CACHE STRING "Log folder when FENWOLD_LOG_DIR is unset (empty: beside the executable)")
target_compile_definitions(fenwold_core PUBLIC FENWOLD_DEFAULT_LOG_DIR="${FENWOLD_DEFAULT_LOG_DIR}")

# The alert rules and the dashboard for the metrics file, in every package.
set(FENWOLD_MONITORING_FILES packaging/prometheus/fenwold-rules.yml
    packaging/grafana/fenwold-dashboard.json)

# The Windows release archive (cpack -G ZIP): both programs, a sample registry export, a
# short readme and the monitoring files.
if(WIN32)
  install(TARGETS fenwold fenwoldctl RUNTIME DESTINATION .)
  install(FILES packaging/windows/fenwold.reg packaging/windows/README.txt
          ${FENWOLD_MONITORING_FILES} DESTINATION .)
  set(CPACK_PACKAGE_NAME fenwold)
  set(CPACK_PACKAGE_FILE_NAME fenwold-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  include(CPack)

  # The installer package (target msi), built with wixl where it is installed.
  # wixl takes the files from beside the .wxs.
  set(FENWOLD_MSI_VERSION ${PROJECT_VERSION})
  configure_file(packaging/windows/fenwold.wxs.in ${CMAKE_CURRENT_BINARY_DIR}/fenwold.wxs @ONLY)
  foreach(note fenwold.reg README.txt)
    configure_file(packaging/windows/${note} ${CMAKE_CURRENT_BINARY_DIR}/msi/${note} COPYONLY)
  endforeach()
  foreach(file ${FENWOLD_MONITORING_FILES})
    get_filename_component(name ${file} NAME)
    configure_file(${file} ${CMAKE_CURRENT_BINARY_DIR}/msi/${name} COPYONLY)
  endforeach()
  find_program(FENWOLD_WIXL wixl)
  if(FENWOLD_WIXL)
    set(msi ${CMAKE_CURRENT_BINARY_DIR}/fenwold-${PROJECT_VERSION}-win64.msi)
    add_custom_command(OUTPUT ${msi}
      COMMAND ${FENWOLD_WIXL} -a x64 -o ${msi} ${CMAKE_CURRENT_BINARY_DIR}/fenwold.wxs
      DEPENDS fenwold fenwoldctl ${CMAKE_CURRENT_BINARY_DIR}/fenwold.wxs
      VERBATIM)
    add_custom_target(msi DEPENDS ${msi})
  endif()
  return()
endif()

set(pkg ${CMAKE_CURRENT_BINARY_DIR}/package)
# The unit is the one /INSTALL writes under the service account, produced by the same code.
add_custom_command(OUTPUT ${pkg}/fenwold.service
  COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg}
  COMMAND sh -c "FENWOLD_REGISTRY=/etc/fenwold/registry.reg FENWOLD_LOG_DIR=/var/log/fenwold \"$1\" unit /usr/sbin/fenwold > \"$2\"" sh $<TARGET_FILE:fenwoldctl> ${pkg}/fenwold.service
  DEPENDS fenwoldctl VERBATIM)
set(pkg_outputs ${pkg}/fenwold.service)
foreach(page fenwold.8 fenwoldctl.1)
  string(REGEX REPLACE "\\.[0-9]$" "" name ${page})
  string(REGEX REPLACE "^.*\\." "" section ${page})
  add_custom_command(OUTPUT ${pkg}/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg}
    COMMAND sh -c "\"$1\" \"$2\" $3 $4 $5 | gzip -9n > \"$6\"" sh
      ${CMAKE_CURRENT_SOURCE_DIR}/scripts/manpage.sh ${CMAKE_CURRENT_SOURCE_DIR}/man/${page}.txt
      ${name} ${section} ${PROJECT_VERSION} ${pkg}/${page}.gz
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/${page}.txt ${CMAKE_CURRENT_SOURCE_DIR}/scripts/manpage.sh
    VERBATIM)
  list(APPEND pkg_outputs ${pkg}/${page}.gz)
endforeach()
configure_file(packaging/changelog.in ${pkg}/changelog @ONLY)
add_custom_command(OUTPUT ${pkg}/changelog.gz
  COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${pkg}/changelog ${pkg}/changelog.gz
  DEPENDS ${pkg}/changelog VERBATIM)
list(APPEND pkg_outputs ${pkg}/changelog.gz)
add_custom_target(package_files ALL DEPENDS ${pkg_outputs})

install(TARGETS fenwold DESTINATION sbin)
install(TARGETS fenwoldctl DESTINATION bin)
install(FILES ${pkg}/fenwold.service DESTINATION /lib/systemd/system)
install(FILES packaging/registry.reg DESTINATION /etc/fenwold
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES schema/mysql.sql schema/sqlite.sql schema/postgres.sql DESTINATION share/fenwold/schema)
install(FILES ${FENWOLD_MONITORING_FILES} DESTINATION share/fenwold)
install(FILES ${pkg}/fenwold.8.gz DESTINATION share/man/man8)
install(FILES ${pkg}/fenwoldctl.1.gz DESTINATION share/man/man1)
install(FILES ${pkg}/changelog.gz packaging/copyright DESTINATION share/doc/fenwold)

set(CPACK_PACKAGE_NAME fenwold)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "card intake service of an access-control installation")
set(CPACK_PACKAGE_DESCRIPTION "Fenwold watches a drop folder for card files, stages each file
into the card database through ODBC in one transaction and applies the staged
records that are due to the card table. fenwoldctl is the operator's tool.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Fenwold developers <fenwold@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The driver manager is loaded at run time, so shlibdeps cannot see it; a site needs only the
# ODBC driver of its own database.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libodbc2, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "odbc-mariadb | odbc-postgresql | libsqliteodbc")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-mariadb, odbc-postgresql, libsqliteodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/conffiles ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
  ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

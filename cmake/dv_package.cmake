# What `cmake --install` puts where, and the Debian package CPack makes of it
# (`scripts/dv package`). The programs install themselves from their own folders.

# The package carries the version users see with `dvcp -v`.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/lib/libpal/app.h dv_version_line
     REGEX "APP_VERSION_TEXT\\[\\] = \"[0-9.]+\"")
string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" DV_VERSION "${dv_version_line}")
if(NOT DV_VERSION MATCHES "^[0-9]+(\\.[0-9]+)+$")
  message(FATAL_ERROR "no version found in src/lib/libpal/app.h")
endif()
set(DV_PACKAGE_MAINTAINER "dvcp developers <maintainers@dvcp.example>"
    CACHE STRING "The Maintainer field of the Debian package")

set(dv_pkg ${CMAKE_SOURCE_DIR}/packaging)
set(dv_pkg_out ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${dv_pkg_out})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${dv_pkg}/dvcp.1 ${dv_pkg}/dvsd.8 ${dv_pkg}/changelog.in)
configure_file(${dv_pkg}/changelog.in ${dv_pkg_out}/changelog @ONLY)
# Debian wants manual pages and the changelog compressed, and reproducibly (-n: no name, no time).
foreach(name dvcp.1 dvsd.8 changelog)
  set(src ${dv_pkg}/${name})
  if(name STREQUAL "changelog")
    set(src ${dv_pkg_out}/changelog)
  endif()
  execute_process(COMMAND gzip -9 -n -c ${src} OUTPUT_FILE ${dv_pkg_out}/${name}.gz
                  RESULT_VARIABLE gzip_status)
  if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip ${src} failed")
  endif()
endforeach()

install(FILES ${dv_pkg}/dvsd.service DESTINATION /lib/systemd/system)
# It may hold a password.
install(FILES ${dv_pkg}/dvsd.ini DESTINATION /etc/dvsd PERMISSIONS OWNER_READ OWNER_WRITE)
install(FILES ${dv_pkg}/dvsd.logrotate DESTINATION /etc/logrotate.d RENAME dvsd)
install(FILES ${dv_pkg_out}/dvcp.1.gz DESTINATION share/man/man1)
install(FILES ${dv_pkg_out}/dvsd.8.gz DESTINATION share/man/man8)
foreach(program dvcp dvsd)
  install(FILES ${dv_pkg}/dv.bash-completion DESTINATION share/bash-completion/completions
          RENAME ${program})
endforeach()
install(FILES ${dv_pkg}/copyright ${dv_pkg_out}/changelog.gz DESTINATION share/doc/dvcp)

# What lintian would flag but is meant: the configuration may hold a password, and a static
# build (DV_STATIC) is made to run without the libraries installed. `scripts/dv package` makes
# the dynamically linked package, which needs no more than the first.
set(dv_overrides "# It may hold a password: readable by root only.
dvcp: non-standard-file-perm 0600 != 0644 [etc/dvsd/dvsd.ini]
")
if(DV_STATIC)
  string(APPEND dv_overrides "# Built with DV_STATIC on purpose: no library dependencies.
dvcp: statically-linked-binary [usr/bin/dvcp]
dvcp: statically-linked-binary [usr/sbin/dvsd]
# Debian's own mbedTLS archive, linked in by the static build.
dvcp: embedded-library mbedtls [usr/bin/dvcp]
dvcp: embedded-library mbedtls [usr/sbin/dvsd]
")
endif()
file(CONFIGURE OUTPUT ${dv_pkg_out}/lintian-overrides CONTENT "${dv_overrides}")
install(FILES ${dv_pkg_out}/lintian-overrides DESTINATION share/lintian/overrides RENAME dvcp)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvcp)
set(CPACK_PACKAGE_VERSION ${DV_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy, synchronise and list directory trees, with a file server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "dvcp copies, synchronises and lists directory trees between local directories
and directories served by dvsd, over a binary protocol on TCP (dvp://) or TLS
(dvps://). Files are written under temporary names and renamed into place.
.
dvsd is the file server, with a systemd unit that runs it sandboxed.")
# Library dependencies of a dynamically linked build; a static build has none.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${dv_pkg}/conffiles ${dv_pkg}/postinst ${dv_pkg}/prerm
    ${dv_pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Installation in the FHS places and the Debian packages (cpack -G DEB, or scripts/package):
#
#   vex-instrument   (instrument: armhf, amd64 for the sandbox) vex-pkg-install and its icon, vex-pkg-fetch
#                    with its systemd service and timer
#   vex-workstation  (build machines) vex-pkg, the package tool
#   vex-sonoprobe    Sonoprobe, which both of the above depend on
#
# Sonoprobe has a package of its own because both machines carry it: two packages holding the same file
# could not be installed side by side. Each package gets its manual pages, copyright and changelog; the
# version is the project's, the dependencies are what dpkg-shlibdeps finds in the binaries.
include(GNUInstallDirs)

set(VEX_DEB_MAINTAINER "Instrument software team <update-team@example.com>")
set(VEX_DEB_PACKAGES vex-instrument vex-workstation vex-sonoprobe)
# The date of the changelog entry and of the manual pages: SOURCE_DATE_EPOCH when set, so that a release
# build gives the same bytes.
string(TIMESTAMP VEX_RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP VEX_RELEASE_DATE "%Y-%m-%d" UTC)

# Directories made by the install step are 0755 whatever the umask of whoever packages.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Debian wants manual pages and changelogs compressed with gzip -9n (no name, no time stamp).
set(_vex_pkg_dir ${PROJECT_BINARY_DIR}/packaging)
set(_vex_gz_files)
function(_vex_gzip_file source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9n -c ${source} > ${output}
    DEPENDS ${source}
    VERBATIM)
  set(_vex_gz_files ${_vex_gz_files} ${output} PARENT_SCOPE)
endfunction()

# Manual pages: docs/man/NAME.1.in, the version and date filled in.
foreach(page vex-pkg-install vex-pkg-fetch Sonoprobe vex-pkg)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1.in ${_vex_pkg_dir}/man/${page}.1 @ONLY)
  _vex_gzip_file(${_vex_pkg_dir}/man/${page}.1 ${_vex_pkg_dir}/man/${page}.1.gz)
endforeach()

foreach(package ${VEX_DEB_PACKAGES})
  set(VEX_DEB_PACKAGE ${package})
  configure_file(${PROJECT_SOURCE_DIR}/docs/debian/changelog.in ${_vex_pkg_dir}/${package}/changelog @ONLY)
  _vex_gzip_file(${_vex_pkg_dir}/${package}/changelog ${_vex_pkg_dir}/${package}/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright ${_vex_pkg_dir}/${package}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${package})
endforeach()
add_custom_target(vex_package_docs ALL DEPENDS ${_vex_gz_files})

set(_vex_man1 ${CMAKE_INSTALL_MANDIR}/man1)
install(TARGETS vex-pkg-install RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vex-instrument)
# The installer loads its window icon as "Res/AppIco.ico" from its working directory: the instrument's
# update procedure starts it from this folder.
install(FILES ${PROJECT_SOURCE_DIR}/resources/AppIco.ico
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vex-pkg-install/Res COMPONENT vex-instrument)
install(FILES ${_vex_pkg_dir}/man/vex-pkg-install.1.gz DESTINATION ${_vex_man1} COMPONENT vex-instrument)
# The fetch client: one poll per run of its service, which its timer starts after boot and then hourly. The
# timer is not enabled by the package; the service does nothing until /etc/vex-pkg/fetch.toml exists.
install(TARGETS vex-pkg-fetch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vex-instrument)
install(FILES ${_vex_pkg_dir}/man/vex-pkg-fetch.1.gz DESTINATION ${_vex_man1} COMPONENT vex-instrument)
install(FILES ${PROJECT_SOURCE_DIR}/tools/vex-pkg-fetch/systemd/vex-pkg-fetch.service
              ${PROJECT_SOURCE_DIR}/tools/vex-pkg-fetch/systemd/vex-pkg-fetch.timer
        DESTINATION lib/systemd/system COMPONENT vex-instrument)
install(FILES ${PROJECT_SOURCE_DIR}/examples/fetch.toml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vex-instrument/examples COMPONENT vex-instrument)

install(TARGETS vex-pkg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vex-workstation)
install(FILES ${_vex_pkg_dir}/man/vex-pkg.1.gz DESTINATION ${_vex_man1} COMPONENT vex-workstation)

install(TARGETS Sonoprobe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vex-sonoprobe)
install(FILES ${_vex_pkg_dir}/man/Sonoprobe.1.gz DESTINATION ${_vex_man1} COMPONENT vex-sonoprobe)
# Sonoprobe is linked statically on purpose (its resident size is the mapped file and little else).
install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/vex-sonoprobe.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME vex-sonoprobe
        COMPONENT vex-sonoprobe)

# The Debian architecture: the host's, or the one a toolchain file names (cmake/toolchains/).
if(NOT VEX_DEBIAN_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE VEX_DEBIAN_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vex-update)
set(CPACK_PACKAGE_VENDOR "Instrument software team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VEX_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENTS_ALL ${VEX_DEB_PACKAGES})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${VEX_DEBIAN_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VEX_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_VEX-INSTRUMENT_PACKAGE_NAME vex-instrument)
set(CPACK_COMPONENT_VEX-INSTRUMENT_DEPENDS vex-sonoprobe)
set(CPACK_COMPONENT_VEX-INSTRUMENT_DESCRIPTION "installer of the measuring instrument's update packages
vex-pkg-install installs one update package on the instrument in a full-screen
window: it checks what the package type allows, runs the package's scripts,
checks the free space of every partition and writes boot images, kernels,
files, directories, links and tar archives, each verified by MD5, and keeps
numbered logs of every run. vex-pkg-fetch polls a signed release channel over
HTTP(S), downloads the chosen release with checked, resumable range requests,
hands it to the installer and reports the outcome.")

set(CPACK_DEBIAN_VEX-WORKSTATION_PACKAGE_NAME vex-workstation)
set(CPACK_DEBIAN_VEX-WORKSTATION_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_VEX-WORKSTATION_DEPENDS vex-sonoprobe)
set(CPACK_COMPONENT_VEX-WORKSTATION_DESCRIPTION "tools to make and check the measuring instrument's update packages
vex-pkg builds an update package from a TOML manifest, lists its items,
verifies every chunk, digest and tar list of it, extracts it as the installer
would and says whether it fits an instrument.")

set(CPACK_DEBIAN_VEX-SONOPROBE_PACKAGE_NAME vex-sonoprobe)
set(CPACK_COMPONENT_VEX-SONOPROBE_DESCRIPTION "says whether a sound-data file holds a wave
Sonoprobe reads one sound-data (.PCM) chunk container and prints whether it
holds a wave. It is linked statically and needs no other package.")

include(CPack)

# Debian packages with CPack's DEB generator (scripts/package.sh):
#   kel36-plugin  kel36.so built against our framework declarations (the
#                 bench build kel36-host loads); only the C/C++ run-time
#   kel36-tools   kel36-host, kel36-sim, the stand-in framework library, docs,
#                 examples, man pages, completions, the systemd unit
#   kel36-dev     (all) the plug-in's sources to build kel36.so against a
#                 host's own framework headers, for any board
# CPack rather than dpkg-buildpackage -a: the ARM plug-in package builds from
# the cross presets with only JsonCpp for the target, where a cross
# dpkg-buildpackage would want every build dependency for the target, which a
# half-synced archive cannot always give. Dependencies are computed by
# dpkg-shlibdeps, not listed by hand.

set(kel36_components plugin)
if(TARGET kel36-host)
  list(APPEND kel36_components tools)
endif()
if(NOT CMAKE_CROSSCOMPILING)
  list(APPEND kel36_components dev)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kel36)
set(CPACK_PACKAGE_VERSION "${KEL36_FULL_VERSION}")
set(CPACK_PACKAGE_CONTACT "kel36 developers <kel36@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VENDOR "kel36 developers")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${kel36_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX "${KEL36_PACKAGE_DIR}")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${KEL36_DEBIAN_ARCH}")
endif()

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME kel36-plugin)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION
  "Kel36 generator-set controller driver plug-in (bench build)
kel36.so polls an engine-driven generator-set controller over a serial line
for a monitoring unit's host process and delivers its 100-byte data record
5058. This build is made against the kel36 project's own framework
declarations: it is what kel36-host loads, and it is right for a host only
if that host's framework headers match them. For another host build the
plug-in from kel36-dev against the host's own headers.")
set(CPACK_DEBIAN_PLUGIN_PACKAGE_MULTIARCH same)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kel36-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "Bench tools for the kel36 generator-set controller plug-in
kel36-host loads kel36.so as a monitoring unit's host does and polls real or
simulated controllers, with a history database, test reports, a web view
with Prometheus metrics, and a systemd service. kel36-sim simulates
controllers on a pseudo-terminal or a serial port, with scenarios and fault
injection.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "kel36-plugin (= ${KEL36_FULL_VERSION})")
set(kel36_tools_control "${PROJECT_SOURCE_DIR}/dist/debian/tools")
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  "${kel36_tools_control}/postinst;${kel36_tools_control}/prerm;${kel36_tools_control}/postrm;${kel36_tools_control}/conffiles")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "bash-completion")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME kel36-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "cmake (>= 3.25), g++ | c++-compiler, pkgconf | pkg-config, libjsoncpp-dev, libboost-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Sources to build the kel36 plug-in against a host's own framework headers
The kel36.so driver's sources, the adapter header to a host's framework,
the framework contract check and one command, kel36-build-plugin, that
builds kel36.so for a board's architecture against the host's framework
headers and checks its link contract.")

# Each package's copyright and changelog (a native package's changelog.gz).
string(TIMESTAMP kel36_package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component plugin tools dev)
  set(package "kel36-${component}")
  file(WRITE "${CMAKE_BINARY_DIR}/debian/${package}/changelog"
    "${package} (${KEL36_FULL_VERSION}) unstable; urgency=medium\n\n"
    "  * Built from the kel36 sources, version ${KEL36_FULL_VERSION}.\n\n"
    " -- ${CPACK_PACKAGE_CONTACT}  ${kel36_package_date}\n")
  execute_process(COMMAND gzip -9nf "${CMAKE_BINARY_DIR}/debian/${package}/changelog")
  install(FILES "${CMAKE_BINARY_DIR}/debian/${package}/changelog.gz"
                "${PROJECT_SOURCE_DIR}/dist/debian/copyright"
    DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}" COMPONENT ${component})
endforeach()
include(CPack)

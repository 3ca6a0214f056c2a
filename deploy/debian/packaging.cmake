# Debian packages of the installed layout, built by CPack's DEB generator:
#   flx-host   (component "host")   the host, its libraries and modules, the page, flx-admin,
#                                    the units and the nginx site of deploy/
#   flx-agent  (component "agent")  flx-agent and flx-push, their unit and configuration
# `cmake --build --preset release --target package` (or scripts/package.sh) writes both to
# <build>/packages. Files installed below /etc are the packages' conffiles.

# The version is the project's; FLX_VERSION_PATCH overrides its patch level, so that an upgrade
# can be tested with a second build of the same tree.
set(FLX_VERSION_PATCH "" CACHE STRING "Patch level of the packages' version (empty: the project's)")
set(FLX_PACKAGE_VERSION "${PROJECT_VERSION}")
if(NOT FLX_VERSION_PATCH STREQUAL "")
  set(FLX_PACKAGE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${FLX_VERSION_PATCH}")
endif()

set(FLX_DEBIAN_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(FLX_DEPLOY_DIR "${CMAKE_SOURCE_DIR}/deploy")
set(FLX_DEB_BUILD_DIR "${CMAKE_BINARY_DIR}/debian")
# Units go where Debian 12's own packages put theirs.
set(FLX_UNIT_DIR "${FLX_ROOT}/lib/systemd/system")

# Manual pages and changelogs are shipped compressed, without a time stamp.
file(MAKE_DIRECTORY "${FLX_DEB_BUILD_DIR}")
foreach(page IN ITEMS flx-admin.8 flx-webapi-host.8 flx-history.8 flx-agent.1 flx-push.1)
  execute_process(COMMAND gzip -9nc "${FLX_DEBIAN_DIR}/${page}" OUTPUT_FILE "${FLX_DEB_BUILD_DIR}/${page}.gz")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${FLX_DEBIAN_DIR}/flx-admin.8" "${FLX_DEBIAN_DIR}/flx-webapi-host.8"
  "${FLX_DEBIAN_DIR}/flx-history.8" "${FLX_DEBIAN_DIR}/flx-agent.1" "${FLX_DEBIAN_DIR}/flx-push.1")

# --- the host ---
install(FILES "${FLX_DEPLOY_DIR}/systemd/flx-webapi-host.service" DESTINATION "${FLX_UNIT_DIR}"
  COMPONENT host)
if(EXISTS "${FLX_DEPLOY_DIR}/systemd/flx-history.service")
  install(FILES "${FLX_DEPLOY_DIR}/systemd/flx-history.service" DESTINATION "${FLX_UNIT_DIR}"
    COMPONENT host)
endif()
install(FILES "${FLX_DEPLOY_DIR}/systemd/flx-webapi-host.default"
  DESTINATION "${FLX_ROOT}/etc/default" RENAME flx-webapi-host COMPONENT host)
# Available, not enabled: the maintainer script links it only where no site of its name is.
install(FILES "${FLX_DEPLOY_DIR}/nginx/flx-webapi.conf" "${FLX_DEPLOY_DIR}/nginx/flx-webapi-http.conf"
  DESTINATION "${FLX_ROOT}/etc/nginx/sites-available" COMPONENT host)
# The scrape configuration and alert rules for Prometheus, where the configuration names the
# rules; an operator includes or copies them (README, "Metrics and alerts").
install(FILES "${FLX_DEPLOY_DIR}/prometheus/flx-prometheus.yml"
  "${FLX_DEPLOY_DIR}/prometheus/flx-alerts.yml" "${FLX_DEPLOY_DIR}/prometheus/flx-alerts.test.yml"
  DESTINATION "${FLX_ROOT}/usr/share/flx-host/prometheus" COMPONENT host)
# flx-admin on the operators' PATH.
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${FLX_ROOT}/usr/sbin\")
  file(CREATE_LINK \"${FLX_BIN_DIR}/flx-admin\" \"\$ENV{DESTDIR}${FLX_ROOT}/usr/sbin/flx-admin\" SYMBOLIC)"
  COMPONENT host)
install(FILES "${FLX_DEB_BUILD_DIR}/flx-admin.8.gz" "${FLX_DEB_BUILD_DIR}/flx-webapi-host.8.gz"
  "${FLX_DEB_BUILD_DIR}/flx-history.8.gz" DESTINATION "${FLX_ROOT}/usr/share/man/man8"
  COMPONENT host)

# --- the agent ---
install(FILES "${FLX_DEPLOY_DIR}/systemd/flx-agent.service" DESTINATION "${FLX_UNIT_DIR}"
  COMPONENT agent)
install(FILES "${FLX_DEPLOY_DIR}/flx-agent/agent.conf" DESTINATION "${FLX_ROOT}/etc/flx-agent"
  COMPONENT agent)
install(FILES "${FLX_DEB_BUILD_DIR}/flx-agent.1.gz" "${FLX_DEB_BUILD_DIR}/flx-push.1.gz"
  DESTINATION "${FLX_ROOT}/usr/share/man/man1" COMPONENT agent)

# --- what Debian wants of every package: copyright, changelog, lintian overrides ---
foreach(pkg IN ITEMS host agent)
  set(name "flx-${pkg}")
  configure_file("${FLX_DEBIAN_DIR}/changelog.in" "${FLX_DEB_BUILD_DIR}/${name}/changelog" @ONLY)
  execute_process(COMMAND gzip -9nc "${FLX_DEB_BUILD_DIR}/${name}/changelog"
    OUTPUT_FILE "${FLX_DEB_BUILD_DIR}/${name}/changelog.gz")
  install(FILES "${FLX_DEBIAN_DIR}/copyright" "${FLX_DEB_BUILD_DIR}/${name}/changelog.gz"
    DESTINATION "${FLX_ROOT}/usr/share/doc/${name}" COMPONENT ${pkg})
  install(FILES "${FLX_DEBIAN_DIR}/${name}.lintian-overrides"
    DESTINATION "${FLX_ROOT}/usr/share/lintian/overrides" RENAME "${name}" COMPONENT ${pkg})
endforeach()

# --- CPack ---
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "flx")
set(CPACK_PACKAGE_VERSION "${FLX_PACKAGE_VERSION}")
set(CPACK_PACKAGE_CONTACT "FLX developers <flx-dev@example.org>")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_COMPONENTS_ALL host agent)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://flx.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_HOST_PACKAGE_NAME "flx-host")
# The inventory page draws its charts with Debian's chart library (/javascript/chart.js/);
# versions compare by Debian's own rules (libapt-pkg).
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "adduser, nginx, openssl, libjs-chart.js, libapt-pkg6.0")
set(CPACK_DEBIAN_HOST_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ".${FLX_LIB_DIR}")
set(CPACK_COMPONENT_HOST_DESCRIPTION "FLX management host: device pushes and the inventory
The web API host with the device push module and the operators' inventory
module and page, the device registry and cache stores, the operator tool
flx-admin, a systemd unit and an nginx site (TLS, request limits) in front
of the host.")
set(CPACK_DEBIAN_AGENT_PACKAGE_NAME "flx-agent")
set(CPACK_DEBIAN_AGENT_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ".${FLX_AGENT_LIB_DIR}")
set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS "smartmontools")
set(CPACK_COMPONENT_AGENT_DESCRIPTION "FLX device agent: pushes a Linux machine's facts to the host
flx-agent collects the machine's identity, storage (volumes, disks, SMART),
shares, applications and packages and pushes what changed to the FLX host,
enciphered with the host's push key; flx-push sends a prepared batch. A
systemd service runs the agent every five minutes once it is configured.")

# Maintainer scripts, and conffiles computed from the staged tree just before packaging.
foreach(pkg IN ITEMS host agent)
  string(TOUPPER ${pkg} PKG)
  set(extra "${FLX_DEB_BUILD_DIR}/flx-${pkg}/conffiles")
  foreach(script IN ITEMS postinst prerm postrm)
    if(EXISTS "${FLX_DEBIAN_DIR}/flx-${pkg}.${script}")
      configure_file("${FLX_DEBIAN_DIR}/flx-${pkg}.${script}"
        "${FLX_DEB_BUILD_DIR}/flx-${pkg}/${script}" COPYONLY)
      list(APPEND extra "${FLX_DEB_BUILD_DIR}/flx-${pkg}/${script}")
    endif()
  endforeach()
  set(CPACK_DEBIAN_${PKG}_PACKAGE_CONTROL_EXTRA "${extra}")
endforeach()
set(CPACK_FLX_DEB_BUILD_DIR "${FLX_DEB_BUILD_DIR}")
set(CPACK_PRE_BUILD_SCRIPTS "${FLX_DEBIAN_DIR}/conffiles.cmake")

include(CPack)
cpack_add_component(host DISPLAY_NAME "flx-host")
cpack_add_component(agent DISPLAY_NAME "flx-agent")

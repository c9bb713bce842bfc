# Debian packages built by CPack (`make package`), one per install component or group:
#   libagentclient0     runtime   the shared library
#   libagentclient-dev  dev       headers, static archive, CMake package, pkg-config file
#   paagentd            agent     the agent, its systemd unit and its manual page
#                       tools     pactl, its manual page and completion: the agent's administration
#                                 program, shipped with it; paexporter, its manual page and unit
#   python3-agentclient python    the Python package agentclient, for Debian's python3
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "agentclient developers <agentclient@localhost>" CACHE STRING "The packages' Maintainer")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Programs built against this version run with any later one of the same soname.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENTS_ALL runtime dev)
if(AGENTCLIENT_BUILD_AGENT)
  list(APPEND CPACK_COMPONENTS_ALL agent)
endif()
if(AGENTCLIENT_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
if(AGENTCLIENT_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libagentclient${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "client library of the process agent
Drives process agents over Client-Library RPCs: starts, stops, signals and
watches processes and services, edits the routing table and writes the
agent's configuration file.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libagentclient-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The static archive leaves the Client-Library to the program linking it.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS freetds-dev)
set(CPACK_DEBIAN_DEV_DESCRIPTION "client library of the process agent - development files
The C header pa.h, the C++ headers agentclient.hpp and records.hpp, the
static library, the CMake package (find_package(agentclient)) and the
pkg-config file.")

set(CPACK_DEBIAN_PAAGENTD_PACKAGE_NAME paagentd)
set(CPACK_DEBIAN_PAAGENTD_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PAAGENTD_DESCRIPTION "process agent daemon and its command line
paagentd starts, stops, signals and watches processes and services on its
host for clients of the agentclient protocol; pactl administers it and
paexporter serves its processes as Prometheus metrics and a status page.")

if(AGENTCLIENT_BUILD_PYTHON)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-agentclient)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  # The module is built for one Python version; the library it links comes from the runtime
  # package, which dpkg-shlibdeps cannot see outside the system, so the dependencies are named.
  math(EXPR python_next_minor "${Python3_VERSION_MINOR} + 1")
  set(python_version ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${python_version}), python3 (<< ${Python3_VERSION_MAJOR}.${python_next_minor}), libc6, libgcc-s1, libstdc++6")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "client library of the process agent - Python package
The package agentclient: connections to process agents, their processes,
services and routes as Python objects, their events and output as
iterators, and the agent's configuration file writer.")
endif()

include(CPack)
cpack_add_component(runtime)
cpack_add_component(dev DEPENDS runtime)
cpack_add_component_group(paagentd)
cpack_add_component(agent GROUP paagentd)
cpack_add_component(tools GROUP paagentd)
if(AGENTCLIENT_BUILD_PYTHON)
  cpack_add_component(python DEPENDS runtime)
endif()

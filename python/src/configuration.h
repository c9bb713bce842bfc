// The agent's configuration file, written from Python through the library's writers.
#ifndef AGENTCLIENT_PYTHON_CONFIGURATION_H
#define AGENTCLIENT_PYTHON_CONFIGURATION_H

#include <pybind11/pybind11.h>

namespace agentclient::python {

void BindConfiguration(pybind11::module_ &module);

}  // namespace agentclient::python

#endif  // AGENTCLIENT_PYTHON_CONFIGURATION_H

// How the library's failures reach Python: as agentclient.Error and its subclasses.
#ifndef AGENTCLIENT_PYTHON_ERRORS_H
#define AGENTCLIENT_PYTHON_ERRORS_H

#include <pybind11/pybind11.h>

namespace agentclient::python {

// Translates every agentclient::Error a binding lets through into the Python class that says
// what went wrong: Unreachable, NotSupported or Refused, each carrying the code, the class of
// the last Client-Library message and the agent's own text.
void BindErrors(pybind11::module_ &module);

}  // namespace agentclient::python

#endif  // AGENTCLIENT_PYTHON_ERRORS_H

// agentclient._agentclient: the C++ API of agentclient.hpp for Python. The package agentclient
// re-exports it beside its error classes.
#include "configuration.h"
#include "connection.h"
#include "errors.h"
#include "follow.h"
#include "records.h"

#include <pybind11/pybind11.h>

PYBIND11_MODULE(_agentclient, module)
{
    namespace python = agentclient::python;
    module.doc()     = "The agentclient library's C++ API, bound for Python.";
    python::BindErrors(module);
    python::BindRecords(module);
    auto connection = python::BindConnection(module);
    python::BindFollowers(module, connection);
    python::BindConfiguration(module);
}

// Following an agent from Python: its events and a process's output as iterators.
#ifndef AGENTCLIENT_PYTHON_FOLLOW_H
#define AGENTCLIENT_PYTHON_FOLLOW_H

#include "connection.h"

namespace agentclient::python {

// Adds events() and output() to the Connection class.
void BindFollowers(pybind11::module_ &module, pybind11::class_<GuardedConnection, SharedConnection> &connection);

}  // namespace agentclient::python

#endif  // AGENTCLIENT_PYTHON_FOLLOW_H

// The records of records.hpp as Python classes: the library's own values, with keyword
// constructors, equality and a repr, so that Python holds the same record model as C++.
#ifndef AGENTCLIENT_PYTHON_RECORDS_H
#define AGENTCLIENT_PYTHON_RECORDS_H

#include <pybind11/pybind11.h>

namespace agentclient::python {

void BindRecords(pybind11::module_ &module);

}  // namespace agentclient::python

#endif  // AGENTCLIENT_PYTHON_RECORDS_H

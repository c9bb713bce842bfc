#include "errors.h"

#include <agentclient/agentclient.hpp>

namespace py = pybind11;

namespace agentclient::python {

namespace {

// The class of agentclient.errors that fits the failure, in the order pactl decides its exit
// status: an older agent first, since it answers and so is never unreachable.
const char *ClassOf(const Error &error)
{
    if (error.Code() == PaNOT_SUPPORTED) {
        return "NotSupported";
    }
    return error.Unreachable() ? "Unreachable" : "Refused";
}

}  // namespace

void BindErrors(py::module_ &)
{
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            std::rethrow_exception(thrown);
        } catch (const Error &error) {
            // The classes are Python's, defined beside this module, so that they are plain
            // exceptions with keyword attributes and documented where users look.
            py::object errors   = py::module_::import("agentclient.errors");
            py::object instance = errors.attr(ClassOf(error))(
                error.what(), py::arg("code") = error.Code(), py::arg("classification") = error.Classification(),
                py::arg("agent_text") = error.AgentText(), py::arg("timed_out") = error.TimedOut());
            PyErr_SetObject(instance.get_type().ptr(), instance.ptr());
        }
    });
}

}  // namespace agentclient::python

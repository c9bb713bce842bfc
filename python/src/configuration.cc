#include "configuration.h"

#include <agentclient/agentclient.hpp>

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace py = pybind11;

namespace agentclient::python {

namespace {

struct FileClose {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

void WriteFile(const std::filesystem::path &path, const std::vector<Service> &services,
               const std::vector<Route> &routes)
{
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "w"));
    if (!file) {
        throw Error("cannot write " + path.string() + ": " + std::strerror(errno), PaFAILURE);
    }
    WriteConfiguration(file.get(), services, routes);
    // A full disk shows only when the buffered text goes out.
    if (std::fclose(file.release()) != 0) {
        throw Error("cannot write " + path.string() + ": " + std::strerror(errno), PaFAILURE);
    }
}

}  // namespace

void BindConfiguration(py::module_ &module)
{
    module.def("write_configuration", &WriteFile, py::arg("path"), py::arg("services"), py::arg("routes") = py::list(),
               "Writes an agent configuration file holding the services, with their member processes, and the\n"
               "routes, as the agent reads it.");
}

}  // namespace agentclient::python

// Module dependencies: which Django version a project targets, Django's default
// settings per version, and whether a directory holds a Django project.
#include "dependencies.hpp"

namespace korvane::dependencies {

State& state() {
    static State* s = new State();  // leaked: outlives the interpreter's shutdown
    return *s;
}

}  // namespace korvane::dependencies

PYBIND11_MODULE(dependencies, m) {
    namespace py = pybind11;
    using namespace korvane::dependencies;
    State& s = state();
    s.logger = korvane::module_logger(m);
    m.attr("logger") = s.logger;
    py::module_::import("ast");
    py::module_::import("itertools");
    py::module_::import("pathlib");
    py::module_::import("astroid");
    s.dparse_parse = py::module_::import("dparse").attr(KORVANE_NAME("parse"));
    py::object filetypes = py::module_::import("dparse.filetypes");
    s.line_parser = py::module_::import("dparse.parser").attr(KORVANE_NAME("RequirementsTXTLineParser"));
    // Only the pyparsing-based requirement parser has this grammar: without it the
    // module does not import.
    s.requirement = py::module_::import("packaging.requirements").attr(KORVANE_NAME("REQUIREMENT"));
    s.parse_error = py::module_::import("pyparsing").attr(KORVANE_NAME("ParseBaseException"));
    s.meta = py::module_::import("korvane.staticanalysis.meta");

    const char* const releases[][2] = {
        {"1.11", "django_1_11"}, {"2.0", "django_2_0"}, {"2.1", "django_2_1"}, {"2.2", "django_2_2"},
        {"3.0", "django_3_0"},   {"3.1", "django_3_1"}, {"3.2", "django_3_2"},
    };
    std::vector<py::object> defaults;
    for (const auto& release : releases) {
        defaults.push_back(py::module_::import((std::string("korvane.staticanalysis.stockconf.") + release[1]).c_str()));
    }

    py::list file_types;
    for (const char* name : {"requirements_txt", "conda_yml", "setup_cfg", "pipfile_lock", "pipfile"}) {
        file_types.append(filetypes.attr(name));
    }
    s.dparse_file_types = file_types;
    m.attr(KORVANE_NAME("dparse_file_types")) = file_types;

    py::list versions;
    for (const auto& release : releases) versions.append(py::str(release[0]));
    m.attr(KORVANE_NAME("versions")) = versions;
    for (const auto& release : releases) {
        for (int patch = 0; patch < 30; ++patch) {
            s.candidates.emplace_back(py::str(std::string(release[0]) + "." + std::to_string(patch)),
                                      py::str(release[0]));
        }
    }

    py::dict mapping;
    for (size_t i = 0; i < defaults.size(); ++i) mapping[py::str(releases[i][0])] = defaults[i];
    s.settings_mapping = mapping;
    s.latest_settings = defaults.back();
    m.attr(KORVANE_NAME("DJANGO_SETTINGS_MAPPING")) = mapping;

    register_resolve(m);
    register_defaults(m);
}

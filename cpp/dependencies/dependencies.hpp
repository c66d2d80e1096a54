// Module dependencies: Django version resolution, Django defaults and the Django
// repository test.
#pragma once

#include <korvane/module.hpp>

#include <utility>
#include <vector>

namespace korvane::dependencies {

// The Django releases the package knows, oldest first: the minor version, and the
// module of the package's stock configuration holding that release's default settings.
struct Release {
    const char* version;
    const char* defaults_module;
};
inline constexpr Release kReleases[] = {
    {"1.11", "django_1_11"}, {"2.0", "django_2_0"}, {"2.1", "django_2_1"}, {"2.2", "django_2_2"},
    {"3.0", "django_3_0"},   {"3.1", "django_3_1"}, {"3.2", "django_3_2"},
};

// Module-level objects, set when the module loads.
struct State : korvane::ModuleState {
    py::object meta;               // korvane.staticanalysis.meta
    py::object dparse_parse;       // dparse.parse
    py::object line_parser;        // dparse.parser.RequirementsTXTLineParser
    py::object requirement;        // packaging.requirements.REQUIREMENT
    py::object parse_error;        // pyparsing's ParseBaseException
    py::object dparse_file_types;  // list of the five file types
    py::object settings_mapping;   // DJANGO_SETTINGS_MAPPING
    py::object latest_settings;    // the defaults of the newest release
    // Candidate releases in the order they are tried, each with its minor version.
    std::vector<std::pair<py::object, py::object>> candidates;
};
State& state();

py::object resolve_django_version(py::object project_root);

void register_resolve(py::module_& m);
void register_defaults(py::module_& m);

}  // namespace korvane::dependencies

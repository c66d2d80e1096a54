// Module dependencies: Django version resolution, Django defaults and the Django
// repository test.
#pragma once

#include <korvane/common.hpp>

#include <vector>

namespace korvane::dependencies {

// Module-level objects, set when the module loads.
struct State {
    py::object meta;                  // korvane.staticanalysis.meta
    py::object logger;                // "korvane.staticanalysis.dependencies"
    py::object dparse_parse;          // dparse.parse
    py::object line_parser;           // dparse.parser.RequirementsTXTLineParser
    py::object requirement;           // packaging.requirements.REQUIREMENT
    py::object parse_error;           // pyparsing's ParseBaseException
    py::object dparse_file_types;     // list of the five file types
    py::object settings_mapping;      // DJANGO_SETTINGS_MAPPING
    py::object latest_settings;       // stockconf.django_3_2
    // Candidate releases in the order they are tried, each with its minor version.
    std::vector<std::pair<py::object, py::object>> candidates;
};
State& state();

py::object resolve_django_version(py::object project_root);

void register_resolve(py::module_& m);
void register_defaults(py::module_& m);

}  // namespace korvane::dependencies

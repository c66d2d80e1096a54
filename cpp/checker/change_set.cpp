// The change set as the road takes it: paths made relative to the project root in
// their normal form, paths that leave the root dropped, and only regular files handed
// to the linter.
#include "checker.hpp"

#include <korvane/project_files.hpp>
#include <korvane/text.hpp>

namespace korvane::checker {

namespace {

bool leaves_upwards(py::handle relative) {
    if (KORVANE_NAME("..").equal(relative)) return true;
    return korvane::truthy(relative.attr("startswith")(py::str("..") + py::str(KORVANE_IMPORTED("os", "sep"))));
}

// A change-set path in its relative normal form ("./shop/a.py" and the absolute path
// of the same file both become "shop/a.py"), or a null object for a path that leaves
// the project root: "../x.py", an absolute path elsewhere, or a path through a
// symbolic link that points out of the project.
py::object path_in_project(py::handle project_root, py::handle key) {
    py::object& isabs = KORVANE_IMPORTED("os.path", "isabs");
    py::object& normpath = KORVANE_IMPORTED("os.path", "normpath");
    py::object& relpath = KORVANE_IMPORTED("os.path", "relpath");
    py::object relative;
    if (korvane::truthy(isabs(key))) {
        relative = relpath(normpath(key), KORVANE_IMPORTED("os.path", "abspath")(project_root));
        if (leaves_upwards(relative)) {
            // The root may be spelled through a link: compare the real locations.
            py::object& realpath = KORVANE_IMPORTED("os.path", "realpath");
            relative = relpath(realpath(key), realpath(project_root));
        }
    } else {
        relative = normpath(key);
    }
    if (leaves_upwards(relative)) return py::object();
    if (!lies_under_root(KORVANE_IMPORTED("os.path", "join")(project_root, relative), project_root))
        return py::object();
    return relative;
}

// The lines of two change-set entries that name one file: every line when either
// names every line, else the lines of both.
py::object merged_range(py::handle first, py::handle second) {
    if (first.is_none() || second.is_none()) return py::none();
    py::set lines;
    for (py::handle range : {first, second})
        for (py::handle line : range) lines.add(line);
    return std::move(lines);
}

}  // namespace

// The change set with its .py and .html paths made relative to the project root in
// their normal form, their lines following them; a path that leaves the root is
// dropped with a warning and never read.  Other keys ("META") are kept as they are.
py::dict change_set_in_project(py::handle project_root, py::handle files) {
    py::dict result;
    for (py::handle key : files) {
        py::object value = files[key];
        py::object name = py::reinterpret_borrow<py::object>(key);
        if (ends_with(key, ".py") || ends_with(key, ".html")) {
            name = path_in_project(project_root, key);
            if (!name) {
                warn_skipped(state().logger, key, "the path leads outside the project root");
                continue;
            }
        }
        if (result.contains(name)) {
            result[name] = merged_range(result[name], value);
        } else {
            result[name] = value;
        }
    }
    return result;
}

// Whether the linter may open a change-set path: a regular file, or a path that does
// not exist (the linter reports it).  A FIFO would block the read for ever, and a
// directory would be linted as a package.
bool is_lintable(py::handle path) {
    if (!korvane::truthy(KORVANE_IMPORTED("os.path", "exists")(path))) return true;
    if (korvane::truthy(KORVANE_IMPORTED("os.path", "isfile")(path))) return true;
    warn_skipped(state().logger, path, "not a regular file");
    return false;
}

// Whether the template pass may open a change-set path: a regular file.  A template
// the change set names but the project no longer holds (deleted in the change) is
// passed over like any other file that cannot be read, so that the rest is reported.
bool is_template_file(py::handle path) {
    if (korvane::truthy(KORVANE_IMPORTED("os.path", "isfile")(path))) return true;
    bool exists = korvane::truthy(KORVANE_IMPORTED("os.path", "exists")(path));
    warn_skipped(state().logger, path, exists ? "not a regular file" : "no such file");
    return false;
}

}  // namespace korvane::checker

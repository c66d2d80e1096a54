// Reading project files safely: only regular files are opened (a FIFO, a socket or a
// device named like a project file would block the read or never end it), and paths
// are tested against the project root with symbolic links followed.  A file passed over
// is logged in one wording.
#pragma once

#include <korvane/common.hpp>

#include <string>

#include <sys/stat.h>

namespace korvane {

namespace project_files_detail {

inline long mode_of(py::handle stat_result) {
    return py::cast<long>(stat_result.attr("st_mode"));
}

// `path` with every symbolic link followed, as absolute text.  Never raises for a link
// loop: the path is then returned as far as it could be followed.
inline py::object real_path(py::handle path) {
    return KORVANE_IMPORTED("os.path", "realpath")(path);
}

// Whether `inner` equals `outer` or lies below it; both are normalised absolute texts.
inline bool under(py::handle inner, py::handle outer) {
    py::list pair;
    pair.append(outer);
    pair.append(inner);
    py::object common;
    try {
        common = KORVANE_IMPORTED("os.path", "commonpath")(pair);
    } catch (py::error_already_set& e) {
        // Paths on different drives, or a mix of kinds: not one below the other.
        if (!e.matches(PyExc_ValueError)) throw;
        return false;
    }
    int same = PyObject_RichCompareBool(common.ptr(), outer.ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    return same == 1;
}

}  // namespace project_files_detail

// Logs on `logger` that a project file is passed over, and why:
// `Skipping "<path>": <reason>`, or `Skipping <kind> "<path>": <reason>` with a kind.
inline void warn_skipped(py::handle logger, py::handle path, const py::str& reason,
                         const char* kind = nullptr) {
    std::string text = std::string("Skipping ") + (kind ? kind : "") + (kind ? " " : "") +
                       "\"{}\": {}";
    logger.attr(KORVANE_NAME("warning"))(py::str(text).format(path, reason));
}

// Opens `path` for reading in text mode (universal newlines) with the keyword options of
// `open` given in `options` (encoding, errors), or in the mode `mode` ("rb" for bytes),
// but only when it is a regular file.
// Answers a null object for anything else that exists (a FIFO, a socket, a device): the
// caller skips it.  A missing path, a link loop and a directory raise what `open` raises
// for them.  The file is opened without blocking and tested again on the open
// descriptor, so a file swapped for a FIFO in between cannot block either.
inline py::object open_regular_text(py::handle path, const py::dict& options = py::dict(),
                                    const char* mode = "r") {
    namespace detail = project_files_detail;
    py::object& os_stat = KORVANE_IMPORTED("os", "stat");
    py::object& builtin_open = KORVANE_IMPORTED("builtins", "open");
    long kind = detail::mode_of(os_stat(path));
    if (S_ISDIR(kind)) return builtin_open(path, mode, **options);  // raises as it always did
    if (!S_ISREG(kind)) return py::object();

    static const long flags = [] {
        py::module_ os = py::module_::import("os");
        long f = py::cast<long>(os.attr("O_RDONLY"));
        for (const char* name : {"O_NONBLOCK", "O_CLOEXEC"}) {
            if (py::hasattr(os, name)) f |= py::cast<long>(os.attr(name));
        }
        return f;
    }();
    py::object fd = KORVANE_IMPORTED("os", "open")(path, flags);
    py::object& os_close = KORVANE_IMPORTED("os", "close");
    try {
        if (!S_ISREG(detail::mode_of(KORVANE_IMPORTED("os", "fstat")(fd)))) {
            os_close(fd);
            return py::object();
        }
        KORVANE_IMPORTED("os", "set_blocking")(fd, true);
        return builtin_open(fd, mode, **options);
    } catch (py::error_already_set&) {
        try {
            os_close(fd);
        } catch (py::error_already_set&) {
        }
        throw;
    }
}

// Reads an open file with its method `method` (the whole of it by default), closing it
// on every path; when the read fails, its error is the one that propagates.
inline py::object read_and_close(py::handle file, const char* method = "read") {
    py::object text;
    try {
        text = file.attr(method)();
    } catch (py::error_already_set&) {
        try {
            file.attr("close")();
        } catch (py::error_already_set&) {
        }
        throw;
    }
    file.attr("close")();
    return text;
}

// Whether `path` (relative paths taken from the working directory) lies at or below
// `root` once symbolic links are followed on both.
inline bool lies_under_root(py::handle path, py::handle root) {
    namespace detail = project_files_detail;
    return detail::under(detail::real_path(path), detail::real_path(root));
}

// Whether `path` lies below `root` by its text (both made absolute) but leaves it once
// symbolic links are followed: a file reached through a link that points out of the
// project.
inline bool leaves_root_through_link(py::handle path, py::handle root) {
    namespace detail = project_files_detail;
    py::object& abspath = KORVANE_IMPORTED("os.path", "abspath");
    if (!detail::under(abspath(path), abspath(root))) return false;
    return !lies_under_root(path, root);
}

}  // namespace korvane

// Writing fixed texts into a project without losing a byte.  Three passes: every path
// is checked and every text encoded; every text is written to a temporary file beside
// its target; only then is each temporary moved over its target.  A failure in the
// first two passes leaves every project file as it was.
#include "transformer.hpp"

#include <korvane/project_files.hpp>

#include <sys/stat.h>

#include <vector>

namespace korvane::transformer {

namespace {

// os functions are looked up at each use, so that a replaced one is seen.
py::object os_attr(const char* name) {
    return py::module_::import("os").attr(name);
}

// One file to write: where, what bytes, and the permission bits to give it.
struct PlannedWrite {
    py::object path;     // as the producer gave it
    py::object target;   // the file itself, symbolic links followed
    py::object payload;  // the encoded text
    py::object mode;     // permission bits of the file it replaces, or None for a new file
    py::object temporary = py::none();
};

[[noreturn]] void refuse(py::handle path, const char* reason) {
    PyErr_Format(PyExc_ValueError, "Refusing to write %R: %s; no file was written.", path.ptr(),
                 reason);
    throw py::error_already_set();
}

// Whether the relative path names a parent folder ("..") anywhere.
bool climbs(py::handle path) {
    py::object parts = py::module_::import("re").attr("split")(R"([\\/])", path);
    for (py::handle part : parts) {
        if (korvane::equals(part, py::str(".."))) return true;
    }
    return false;
}

// The encoding and line ending of the file being replaced, so that the new text is
// stored as the old one was: its coding cookie or byte-order mark, and "\r\n" when its
// first line ends so.  A new file takes the process's default encoding.
py::object encode_like(py::handle path, py::handle target, py::object text, bool exists) {
    py::object encoding =
        py::module_::import("locale").attr("getpreferredencoding")(false);
    if (exists) {
        py::object file = py::module_::import("builtins").attr("open")(target, "rb");
        py::object data = korvane::read_and_close(file);
        py::object lines = py::module_::import("io").attr("BytesIO")(data).attr("readline");
        try {
            encoding = py::module_::import("tokenize").attr("detect_encoding")(lines)[py::int_(0)];
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_SyntaxError)) throw;  // an unknown cookie: keep the default
        }
        py::object first_end = data.attr("find")(py::bytes("\n"));
        long end = py::cast<long>(first_end);
        if (end > 0 && korvane::equals(data[py::int_(end - 1)], py::int_('\r'))) {
            text = text.attr("replace")("\r\n", "\n").attr("replace")("\n", "\r\n");
        }
    }
    try {
        return text.attr("encode")(encoding);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeError)) throw;
        refuse(path, "its new text cannot be encoded in the file's encoding");
    }
}

PlannedWrite plan_write(py::handle project_root, py::handle path, py::handle text) {
    if (!PyUnicode_Check(path.ptr())) refuse(path, "the path is not text");
    if (!PyUnicode_Check(text.ptr())) refuse(path, "the new text is not text");
    if (!korvane::truthy(path) || korvane::truthy(os_attr("path").attr("isabs")(path)))
        refuse(path, "the path is not relative to the project root");
    if (climbs(path)) refuse(path, "the path leaves the project root");
    py::object full = os_attr("path").attr("join")(project_root, path);
    if (!korvane::lies_under_root(full, project_root))
        refuse(path, "the path leads out of the project root");
    py::object target = os_attr("path").attr("realpath")(full);
    bool exists = korvane::truthy(os_attr("path").attr("lexists")(target));
    py::object mode = py::none();
    if (exists) {
        long st_mode = py::cast<long>(os_attr("stat")(target).attr("st_mode"));
        if (!S_ISREG(st_mode)) refuse(path, "it is not a regular file");
        mode = py::int_(st_mode & 07777);
    } else if (!korvane::truthy(os_attr("path").attr("isdir")(os_attr("path").attr("dirname")(target)))) {
        refuse(path, "its folder does not exist");
    }
    py::object payload = encode_like(path, target, py::reinterpret_borrow<py::object>(text), exists);
    return PlannedWrite{py::reinterpret_borrow<py::object>(path), target, payload, mode};
}

// The permission bits of a new file: what `open` would give it under the umask.
py::object default_mode() {
    py::object umask = os_attr("umask");
    py::object current = umask(0);
    umask(current);
    return py::int_(0666 & ~py::cast<long>(current));
}

// Writes the payload to a new temporary file in the target's folder, flushed to disk,
// with the target's permission bits.
void write_temporary(PlannedWrite& write) {
    py::object path_module = os_attr("path");
    py::object folder = path_module.attr("dirname")(write.target);
    py::str prefix = py::str(".") + py::str(path_module.attr("basename")(write.target)) + py::str(".");
    py::tuple made = py::module_::import("tempfile").attr("mkstemp")(
        py::arg("prefix") = prefix, py::arg("suffix") = ".tmp", py::arg("dir") = folder);
    write.temporary = made[1];
    py::object file = py::module_::import("io").attr("open")(made[0], "wb");
    try {
        file.attr("write")(write.payload);
        file.attr("flush")();
        os_attr("fsync")(file.attr("fileno")());
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    os_attr("chmod")(write.temporary, write.mode.is_none() ? default_mode() : write.mode);
}

// Removes the temporaries not yet moved, keeping the error that brought us here.
void remove_temporaries(std::vector<PlannedWrite>& writes) {
    for (PlannedWrite& write : writes) {
        if (write.temporary.is_none()) continue;
        try {
            os_attr("unlink")(write.temporary);
        } catch (py::error_already_set&) {
        }
        write.temporary = py::none();
    }
}

}  // namespace

void write_project_files(py::handle project_root, py::dict texts) {
    std::vector<PlannedWrite> writes;
    for (auto entry : texts) writes.push_back(plan_write(project_root, entry.first, entry.second));
    try {
        for (PlannedWrite& write : writes) write_temporary(write);
        for (PlannedWrite& write : writes) {
            os_attr("replace")(write.temporary, write.target);
            write.temporary = py::none();
        }
    } catch (py::error_already_set&) {
        remove_temporaries(writes);
        throw;
    }
}

}  // namespace korvane::transformer

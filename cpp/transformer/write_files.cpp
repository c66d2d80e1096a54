// Writing fixed texts into a project, all or nothing.
//
// 1. Every path is checked and every text encoded as its file is stored (coding cookie
//    or byte-order mark, "\r\n" line ends); a read-only file, one with other hard
//    links, or one whose owner this process cannot give back, is left out with a
//    warning.
// 2. Every text is written to a temporary file beside its target, flushed to disk, with
//    the target's owner and then its permission bits (a change of owner clears the
//    setuid and setgid bits), set on the file itself.
// 3. Every file must still hold what the fixes were made from; if one changed on disk
//    meanwhile, nothing is written.
// 4. Each target is kept under a second name (a hard link), checked once more against
//    what was read, and replaced.  When a replace or a check fails, every file already
//    replaced gets its original back before the error goes on; a file whose original
//    cannot be put back is named, with where its original is kept.
// From the first temporary to the end of the clean-up, SIGINT, SIGTERM and SIGHUP are
// held back: the replaces are never cut short, whatever the signal's disposition (the
// default one ends the process at once), and no temporary or kept original stays
// behind.  A held signal takes effect after the clean-up; one that arrives before the
// replaces begin stops the writing before any file is touched.
#include "transformer.hpp"

#include <korvane/project_files.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace korvane::transformer {

namespace {

// os functions are looked up at each use, so that a replaced one is seen.
py::object os_attr(const char* name) {
    return py::module_::import("os").attr(name);
}

// One file to write.
struct PlannedWrite {
    py::object path;      // as the producer gave it
    py::object target;    // the file itself, symbolic links followed
    py::object payload;   // the encoded text
    bool exists = false;
    long mode = 0;        // permission bits to give it
    long uid = -1, gid = -1;  // the owner to keep; -1 for a new file
    py::object expected;  // the digest the file must still have; null for a new file
    py::object temporary = py::none();
    py::object kept = py::none();  // the original under a second name
    bool replaced = false;
    bool unrestored = false;  // its original could not be put back: `kept` stays
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

py::object digest_of(py::handle data) {
    return py::module_::import("hashlib").attr("sha256")(data).attr("hexdigest")();
}

py::object read_bytes(py::handle target) {
    return korvane::read_and_close(py::module_::import("builtins").attr("open")(target, "rb"));
}

// The text encoded as the file being replaced is stored: its coding cookie or
// byte-order mark, and "\r\n" when its first line ends so.  A new file takes the
// process's default encoding.  `data` holds the file's bytes, or None for a new file.
py::object encode_like(py::handle path, py::object text, py::handle data) {
    py::object encoding = py::module_::import("locale").attr("getpreferredencoding")(false);
    if (!data.is_none()) {
        py::object lines = py::module_::import("io").attr("BytesIO")(data).attr("readline");
        try {
            encoding = py::module_::import("tokenize").attr("detect_encoding")(lines)[py::int_(0)];
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_SyntaxError)) throw;  // an unknown cookie: keep the default
        }
        long end = py::cast<long>(data.attr("find")(py::bytes("\n")));
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

// The permission bits a new file gets: what `open` gives it under the process's
// umask, read without changing it (setting the umask to read it races with every
// other thread).
long default_mode() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) return 0666 & ~std::stol(line.substr(6), nullptr, 8);
    }
    return 0644;
}

// Whether this process can give a file the owner and group it has.
bool can_keep_owner(long uid, long gid) {
    if (geteuid() == 0) return true;
    if (static_cast<long>(geteuid()) != uid) return false;
    if (static_cast<long>(getegid()) == gid) return true;
    for (py::handle group : os_attr("getgroups")())
        if (py::cast<long>(group) == gid) return true;
    return false;
}

// The planned write, or a null path with the reason it is left out in `skip`.
PlannedWrite plan_write(py::handle project_root, py::handle path, py::handle text,
                        py::handle read_digests, const char*& skip) {
    skip = nullptr;
    if (!PyUnicode_Check(path.ptr())) refuse(path, "the path is not text");
    if (!PyUnicode_Check(text.ptr())) refuse(path, "the new text is not text");
    if (!korvane::truthy(path) || korvane::truthy(os_attr("path").attr("isabs")(path)))
        refuse(path, "the path is not relative to the project root");
    if (climbs(path)) refuse(path, "the path leaves the project root");
    py::object full = os_attr("path").attr("join")(project_root, path);
    if (!korvane::lies_under_root(full, project_root))
        refuse(path, "the path leads out of the project root");
    PlannedWrite write;
    write.path = py::reinterpret_borrow<py::object>(path);
    write.target = os_attr("path").attr("realpath")(full);
    write.exists = korvane::truthy(os_attr("path").attr("lexists")(write.target));
    py::object data = py::none();
    if (write.exists) {
        py::object st = os_attr("stat")(write.target);
        long st_mode = py::cast<long>(st.attr("st_mode"));
        if (!S_ISREG(st_mode)) refuse(path, "it is not a regular file");
        // a replace would split the file from its other names
        if (py::cast<long>(st.attr("st_nlink")) > 1) {
            skip = "it has other links";
            return write;
        }
        write.mode = st_mode & 07777;
        write.uid = py::cast<long>(st.attr("st_uid"));
        write.gid = py::cast<long>(st.attr("st_gid"));
        // a file without a write bit is left as it is, whoever runs this
        if ((write.mode & 0222) == 0) {
            skip = "it is read-only";
            return write;
        }
        if (!can_keep_owner(write.uid, write.gid)) {
            skip = "its owner and group could not be kept";
            return write;
        }
        data = read_bytes(write.target);
        py::object given = read_digests.is_none() ? py::object()
                                                  : py::reinterpret_borrow<py::object>(read_digests)
                                                        .attr("get")(path, py::none());
        write.expected = given && !given.is_none() ? given : digest_of(data);
    } else if (!korvane::truthy(os_attr("path").attr("isdir")(os_attr("path").attr("dirname")(write.target)))) {
        refuse(path, "its folder does not exist");
    } else {
        write.mode = default_mode();
    }
    write.payload = encode_like(path, py::reinterpret_borrow<py::object>(text), data);
    return write;
}

// Writes the payload to a new temporary file in the target's folder, flushed to disk,
// with the target's owner and then its permission bits set on its descriptor.
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
        py::object fd = file.attr("fileno")();
        if (write.exists) os_attr("fchown")(fd, write.uid, write.gid);
        os_attr("fchmod")(fd, write.mode);
        os_attr("fsync")(fd);
    } catch (py::error_already_set&) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
}

// A name beside `target` that no file has, for keeping the original under.
py::object kept_name(py::handle target) {
    py::object path_module = os_attr("path");
    py::object folder = path_module.attr("dirname")(target);
    py::str base = py::str(path_module.attr("basename")(target));
    py::object token = py::module_::import("secrets").attr("token_hex")(8);
    return path_module.attr("join")(folder, py::str(".{}.{}.orig").format(base, token));
}

// Calls `os.<name>(*args)`, dropping any error: for the clean-up after a failure or
// an interrupt, which goes on to the end and must not hide what brought it.
template <typename... Args>
void quietly(const char* name, Args&&... args) {
    try {
        os_attr(name)(std::forward<Args>(args)...);
    } catch (py::error_already_set&) {
    }
}

// Keeps the original under a second name: a hard link, or a copy where the file
// system has no links.
void keep_original(PlannedWrite& write) {
    write.kept = kept_name(write.target);
    try {
        os_attr("link")(write.target, write.kept);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        py::module_::import("shutil").attr("copy2")(write.target, write.kept);
        os_attr("chown")(write.kept, write.uid, write.gid);
        os_attr("chmod")(write.kept, write.mode);
    }
}

// Removes the temporaries not moved and the originals kept, except an original that
// could not be put back.
void clean_up(std::vector<PlannedWrite>& writes) {
    for (PlannedWrite& write : writes) {
        if (!write.temporary.is_none()) quietly("unlink", write.temporary);
        write.temporary = py::none();
        if (!write.kept.is_none() && !write.unrestored) quietly("unlink", write.kept);
        write.kept = py::none();
    }
}

// A text on one line, its line breaks made blanks: for a path in a log line.
py::str one_line(py::handle text) {
    return py::str(" ").attr("join")(py::str(text).attr("splitlines")());
}

// Puts back the original of one replaced file (removes it, when it is new).  One that
// cannot be put back is logged with where its original is kept, and that stays.
void restore(PlannedWrite& write) {
    try {
        if (write.kept.is_none()) {
            os_attr("unlink")(write.target);
        } else {
            os_attr("replace")(write.kept, write.target);
            write.kept = py::none();
        }
    } catch (py::error_already_set& e) {
        if (!korvane::is_ordinary(e)) throw;
        write.unrestored = true;
        py::str where = write.kept.is_none()
                            ? py::str("the new file could not be removed")
                            : py::str("its original is kept as {}").format(one_line(write.kept));
        state().logger.attr("error")(
            py::str("Not restored: {}: {}: {}").format(one_line(write.path), where, one_line(e.value())));
    }
    write.replaced = false;
}

// Puts back the original of every file already replaced, newest first; goes on past a
// file that cannot be put back.
void roll_back(std::vector<PlannedWrite>& writes) {
    for (auto it = writes.rbegin(); it != writes.rend(); ++it) {
        if (it->replaced) restore(*it);
    }
}

// Raises when a file no longer holds what the fixes were made from.
void check_unchanged(const PlannedWrite& write) {
    if (!write.exists) return;
    if (korvane::equals(digest_of(read_bytes(write.target)), write.expected)) return;
    PyErr_Format(PyExc_ValueError,
                 "Refusing to write %R: it changed on disk since it was read; no file was "
                 "written.",
                 write.path.ptr());
    throw py::error_already_set();
}

// SIGINT, SIGTERM and SIGHUP held back in this thread for the object's life, and let
// through by `release`, after which the interpreter's handlers of any that arrived
// meanwhile run.  A signal the caller had blocked already stays blocked.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : kHeld) sigaddset(&held, sig);
        pthread_sigmask(SIG_BLOCK, &held, &saved_);
    }
    ~HeldSignals() {
        if (!released_) pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    // Whether one of the held signals arrived and waits.
    bool pending() const {
        sigset_t waiting;
        if (sigpending(&waiting) != 0) return false;
        for (int sig : kHeld)
            if (sigismember(&waiting, sig) && !sigismember(&saved_, sig)) return true;
        return false;
    }

    // Lets the signals through (one whose disposition is the default ends the process
    // here) and runs the interpreter's handlers; false when one of them raised.
    bool release() {
        released_ = true;
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
        return PyErr_CheckSignals() == 0;
    }

private:
    static constexpr int kHeld[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t saved_;
    bool released_ = false;
};

// Writes every temporary, then replaces each target, each checked just before against
// what was read.  False, with nothing replaced, when a held signal arrives before the
// replaces begin.
bool write_all(std::vector<PlannedWrite>& writes, const HeldSignals& held) {
    for (PlannedWrite& write : writes) {
        if (held.pending()) return false;
        write_temporary(write);
    }
    for (const PlannedWrite& write : writes) check_unchanged(write);
    if (held.pending()) return false;
    for (PlannedWrite& write : writes) {
        if (write.exists) keep_original(write);
        check_unchanged(write);
        os_attr("replace")(write.temporary, write.target);
        write.temporary = py::none();
        write.replaced = true;
    }
    return true;
}

// Raises the error that a handler of a held signal raised, `cause` as its context.
[[noreturn]] void raise_from_handler(py::handle cause) {
    py::error_already_set raised;
    PyException_SetContext(raised.value().ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    throw raised;
}

// Writes every planned file, signals held back.  False when a held signal arrived
// before the replaces and its handler raised nothing: nothing was written.
bool write_held(std::vector<PlannedWrite>& writes) {
    HeldSignals held;
    bool done = false;
    try {
        done = write_all(writes, held);
    } catch (py::error_already_set& e) {
        // any error: the project as it was
        roll_back(writes);
        clean_up(writes);
        if (!held.release()) raise_from_handler(e.value());
        throw;
    } catch (...) {
        roll_back(writes);
        clean_up(writes);
        throw;  // the signals are let through as `held` goes
    }
    clean_up(writes);
    if (!held.release()) {
        // The handler of a signal held during the replaces raised: every file is
        // written, which the caller, left by the error, cannot say.
        py::error_already_set raised;
        if (done) {
            for (const PlannedWrite& write : writes)
                state().logger.attr("warning")(
                    py::str("Written before the signal: {}").format(one_line(write.path)));
        }
        throw raised;
    }
    return done;
}

}  // namespace

py::list write_project_files(py::handle project_root, py::dict texts, py::handle read_digests) {
    std::vector<PlannedWrite> writes;
    for (auto entry : texts) {
        const char* skip = nullptr;
        PlannedWrite write = plan_write(project_root, entry.first, entry.second, read_digests, skip);
        if (skip) {
            state().logger.attr("warning")(py::str("Not written: {}: {}").format(one_line(entry.first), skip));
            continue;
        }
        writes.push_back(std::move(write));
    }
    // A signal whose handler lets the writing go on starts it again.
    while (!write_held(writes)) {
    }
    py::list paths;
    for (const PlannedWrite& write : writes) paths.append(write.path);
    return paths;
}

}  // namespace korvane::transformer

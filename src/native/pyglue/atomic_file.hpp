// Files replaced atomically through a temporary file beside them, and the clean-up of the
// temporary files that dead processes left behind.
//
//   kx::files::replace_atomically  write <dir>/.<stem>.<pid>.tmp<ext>, fsync it, rename it over
//                                  the target; on any error remove it and let the error through
//   kx::files::remove_stale_temps  remove the temporary files of processes that no longer exist
//   kx::files::os_attr / os_path   os.<name> and os.path.<name>, looked up at every call
//
// Every file operation goes through the os module's attributes as they are at the time of the
// call, so that tests can replace them to inject faults. Everything here must be called with
// the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pyglue/glue.hpp"

namespace kx::files {
namespace py = pybind11;

inline Lazy os_module{"os"};

// os.<name> and os.path.<name>. File operations run a few times per epoch, so a lookup per
// call costs nothing that matters and keeps them replaceable.
inline py::object os_attr(const char* name) { return os_module().attr(name); }
inline py::object os_path(const char* name) { return os_attr("path").attr(name); }

// The temporary file beside `target`: "<dir>/.<stem>.<pid>.tmp<ext>". The extension is kept
// because writers pick the file format from it (Keras: ".h5" selects HDF5).
inline py::object temp_path_for(const py::object& target) {
    py::object folder = os_path("dirname")(target);
    py::tuple parts = os_path("splitext")(os_path("basename")(target));
    py::str name = py::str(".{}.{}.tmp{}").format(parts[0], os_attr("getpid")(), parts[1]);
    return os_path("join")(folder, name);
}

// The pid in the name of a temporary file made by temp_path_for ("." + stem + "." + pid +
// ".tmp" + ext), or -1 for any other name.
inline long long temp_file_pid(const std::string& name) {
    const std::size_t tmp = name.rfind(".tmp");
    if (name.size() < 2 || name[0] != '.' || tmp == std::string::npos || tmp == 0) return -1;
    const std::string ext = name.substr(tmp + 4);
    if (!ext.empty() && (ext[0] != '.' || ext.find('.', 1) != std::string::npos)) return -1;
    const std::size_t dot = name.rfind('.', tmp - 1);
    if (dot == std::string::npos || dot < 2 || dot + 1 == tmp || tmp - dot - 1 > 9) return -1;
    long long pid = 0;
    for (std::size_t i = dot + 1; i < tmp; ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        pid = pid * 10 + (name[i] - '0');
    }
    return pid;
}

// Whether process `pid` exists, as os.kill(pid, 0) tells: only "no such process" counts as
// gone; a process of another user (PermissionError) is alive.
inline bool process_exists(long long pid) {
    try {
        os_attr("kill")(pid, 0);
    } catch (py::error_already_set& err) {
        if (err.matches(PyExc_ProcessLookupError)) return false;
        if (err.matches(PyExc_OSError) || err.matches(PyExc_OverflowError)) return true;
        throw;
    }
    return true;
}

// Removes the temporary files that processes which no longer exist left in `folder` (a
// process killed while writing leaves one as large as the file). Files of live processes,
// this one included, are never touched; a file already gone (another process cleaned up
// first) is no error.
inline void remove_stale_temps(const py::object& folder) {
    for (py::handle entry : os_attr("listdir")(folder)) {
        const long long pid = temp_file_pid(entry.cast<std::string>());
        if (pid <= 0 || process_exists(pid)) continue;
        try {
            os_attr("remove")(os_path("join")(folder, entry));
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_FileNotFoundError)) throw;
        }
    }
}

namespace detail {

// Removes a temporary file if it exists, without disturbing the error being handled.
inline void discard_temp(const py::object& path) noexcept {
    try {
        if (py::bool_(os_path("exists")(path))) os_attr("remove")(path);
    } catch (py::error_already_set&) {
        // The original failure matters more than a leftover temporary file.
    }
}

// Flushes a finished file to the disk so the rename never exposes a file whose data is
// still only in the page cache.
inline void fsync_path(const py::object& path) {
    py::object fd = os_attr("open")(path, os_attr("O_RDONLY"));
    try {
        os_attr("fsync")(fd);
    } catch (py::error_already_set&) {
        os_attr("close")(fd);
        throw;
    }
    os_attr("close")(fd);
}

}  // namespace detail

// Writes `target` through its temporary file: `write(temp)` creates and closes the complete
// file at the path `temp`, which is then synced and renamed over `target`, so a reader sees
// the old file or the new one, never a part. On any error the temporary file is removed and
// the error reaches the caller unchanged; `target` keeps what it held.
template <typename Write>
void replace_atomically(const py::object& target, Write&& write) {
    py::object temp = temp_path_for(target);
    try {
        write(temp);
        detail::fsync_path(temp);
        os_attr("replace")(temp, target);
    } catch (py::error_already_set&) {
        detail::discard_temp(temp);
        throw;
    }
}

}  // namespace kx::files

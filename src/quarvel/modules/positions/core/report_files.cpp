#include "report_files.hpp"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quarvel::core::ledger {

namespace {

std::atomic<unsigned long> temp_counter{0};

/// Writes all of `data` to `fd`, resuming after signals and short writes.
int write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    return 0;
}

/// Opens a fresh temporary file next to `path`; its name goes to `temp_path`.
int open_temp_beside(const std::string &path, std::string &temp_path, int &fd) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_path = path + ".tmp-" + std::to_string(::getpid()) + "-" +
                    std::to_string(temp_counter.fetch_add(1));
        fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return 0;
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

} // namespace

int write_file_atomically(const std::string &path, std::string_view head, std::string_view body) {
    std::string temp_path;
    int fd = -1;
    if (int error = open_temp_beside(path, temp_path, fd))
        return error;
    int error = write_all(fd, head);
    if (!error)
        error = write_all(fd, body);
    // Flushed before the rename, so a crash leaves the old file or the new one, never a stub.
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(temp_path.c_str(), path.c_str()) != 0)
        error = errno;
    if (error)
        ::unlink(temp_path.c_str());
    return error;
}

} // namespace quarvel::core::ledger

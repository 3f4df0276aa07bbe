// What the fuzz targets share: the input as a file the parsers can open by
// name, without touching the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The bytes as an anonymous file, named "/proc/self/fd/N" while it lives.
class fuzz_file {
public:
    fuzz_file(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz", MFD_CLOEXEC))
    {
        size_t done = 0;
        while (fd_ >= 0 && done < size) {
            ssize_t n = write(fd_, data + done, size - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~fuzz_file()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    fuzz_file(const fuzz_file&) = delete;
    fuzz_file& operator=(const fuzz_file&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

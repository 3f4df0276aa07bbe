// The library's own file work: owners that give back a descriptor or a
// malloc'd block on every way out of a function, and reads that go straight
// to the kernel.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

struct ziv_fd_closer {
    int fd;
    explicit ziv_fd_closer(int descriptor) : fd(descriptor) {}
    ~ziv_fd_closer()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    ziv_fd_closer(const ziv_fd_closer&) = delete;
    ziv_fd_closer& operator=(const ziv_fd_closer&) = delete;
};

template <typename T = void>
struct ziv_block {
    T* block;
    explicit ziv_block(T* owned) : block(owned) {}
    ~ziv_block() { free(block); }
    ziv_block(const ziv_block&) = delete;
    ziv_block& operator=(const ziv_block&) = delete;
    // Hands the block to the caller, who frees it.
    T* release()
    {
        T* b = block;
        block = nullptr;
        return b;
    }
};

// Reads past the library's own read interposer (which would inspect the
// descriptor for random devices), through short reads and interrupted
// calls: fills `len` bytes unless the end of the file comes first. A
// negative `offset` reads at the file position. -1 only when an error comes
// before any byte.
inline ssize_t ziv_sys_read_full(int fd, void* buf, size_t len, off_t offset = -1)
{
    size_t done = 0;
    while (done < len) {
        char* at = static_cast<char*>(buf) + done;
        ssize_t got = offset < 0 ? syscall(SYS_read, fd, at, len - done)
                                 : syscall(SYS_pread64, fd, at, len - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

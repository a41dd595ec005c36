#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::platform {

int OpenRegularFile(const char* path, int flags, mode_t mode) {
    return OpenRegularFileAt(AT_FDCWD, path, flags, mode);
}

int OpenRegularFileAt(int folder, const char* name, int flags, mode_t mode) {
    const int fd = ::openat(folder, name, flags | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
        // A FIFO without a reader refuses a writer that does not wait, and a
        // folder any writer.
        if (errno == ENXIO || errno == EISDIR) errno = EINVAL;
        return -1;
    }
    struct stat status {};
    int error = EINVAL;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        const int fileFlags = ::fcntl(fd, F_GETFL);
        if (fileFlags != -1 && ::fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) == 0) return fd;
        error = errno;
    }
    ::close(fd);
    errno = error;
    return -1;
}

}  // namespace velmora::platform

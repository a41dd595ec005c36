#include "record/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::record {

int OpenRegularFileForReading(const char* path, int flags) {
    const int fd = ::open(path, flags | O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
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

}  // namespace velmora::record

#include "platform/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/private_exception.h"

namespace platform {

void WriteFileReplacing(const std::string& path, std::string_view content) {
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) throw CPrivateException(CMessageFormatter(errno));
    size_t done = 0;
    int err = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    // mkstemp creates the file private; a written document gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    if (!err) ::fchmod(fd, 0666 & ~mask);
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && std::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        throw CPrivateException(CMessageFormatter(err));
    }
}

}  // namespace platform

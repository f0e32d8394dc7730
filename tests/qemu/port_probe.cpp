// Another program at the converter's port, in the guest.
//
//   kestrune-port-probe hold PATH   opens the port, takes its lock and its
//                                   exclusive mode, prints "held" and keeps
//                                   them until it is ended
//   kestrune-port-probe try PATH    opens the port and takes its lock as a
//                                   terminal program would, lets go at once,
//                                   and prints how far it came: "refused-open
//                                   ERRNO-NAME", "refused-lock" or "opened"
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

int open_port(const char* path) {
    return ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

const char* errno_name(int error) {
    switch (error) {
        case EBUSY:
            return "EBUSY";
        case EACCES:
            return "EACCES";
        case ENOENT:
            return "ENOENT";
        default:
            return std::strerror(error);
    }
}

int hold(const char* path) {
    const int fd = open_port(path);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        std::printf("cannot hold %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}

int try_port(const char* path) {
    const int fd = open_port(path);
    if (fd < 0) {
        std::printf("refused-open %s\n", errno_name(errno));
        return 0;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    std::printf(locked ? "opened\n" : "refused-lock\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
        return hold(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "try") == 0) {
        return try_port(argv[2]);
    }
    std::fprintf(stderr, "usage: kestrune-port-probe hold|try PATH\n");
    return 2;
}

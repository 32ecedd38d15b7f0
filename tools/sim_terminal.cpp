#include "sim_terminal.h"

#include "sim_options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvalin::sim {

linked_terminal::~linked_terminal()
{
    remove_link();
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
}

bool linked_terminal::open()
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        complain(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
        return false;
    }
    const char *name = ::ptsname(master_);
    if (!name) {
        complain(std::string("no name for the pseudo-terminal: ") + std::strerror(errno));
        return false;
    }
    slave_name_ = name;
    // Holding the slave open keeps the master from reporting a hang-up
    // each time the panel closes its side, and keeps the settings.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings {};
    if (slave_ < 0 || ::tcgetattr(slave_, &settings) != 0) {
        complain(slave_name_ + ": " + std::strerror(errno));
        return false;
    }
    // Raw: every byte passes unchanged and nothing is echoed.
    ::cfmakeraw(&settings);
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    if (::tcsetattr(slave_, TCSANOW, &settings) != 0) {
        complain(slave_name_ + ": " + std::strerror(errno));
        return false;
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    return true;
}

bool linked_terminal::link(const std::string &link)
{
    link_ = link;
    struct stat entry { };
    if (::lstat(link.c_str(), &entry) == 0) {
        if (!S_ISLNK(entry.st_mode)) {
            complain(link + " exists and is not a symbolic link; not replacing it");
            return false;
        }
        const std::string target = read_link(link);
        struct stat device { };
        const bool live = ::stat(link.c_str(), &device) == 0;
        if (live && target.rfind("/dev/pts/", 0) != 0) {
            complain(link + " points to " + target + "; not replacing it");
            return false;
        }
    }
    // Made under a temporary name and renamed, so the path never
    // points anywhere else in between.
    const std::string temporary = link + ".new" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(slave_name_.c_str(), temporary.c_str()) != 0
        || ::rename(temporary.c_str(), link.c_str()) != 0) {
        complain(link + ": " + std::strerror(errno));
        ::unlink(temporary.c_str());
        return false;
    }
    link_made_ = true;
    return true;
}

std::string linked_terminal::read_link(const std::string &path)
{
    char target[4096];
    const ssize_t size = ::readlink(path.c_str(), target, sizeof target - 1);
    return size < 0 ? std::string() : std::string(target, std::size_t(size));
}

void linked_terminal::remove_link()
{
    // Only our own link: another emulator may have taken the path over.
    if (link_made_ && read_link(link_) == slave_name_)
        ::unlink(link_.c_str());
    link_made_ = false;
}

} // namespace orvalin::sim

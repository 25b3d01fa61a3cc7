// Temporary-name-and-rename writing, with a signal-safe registry of the temporary names
// still pending so that an interrupted or panicking process leaves none behind.
#include "target_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"

namespace r64tool {
namespace {

constexpr int kSlots = 4;
constexpr std::size_t kPathMax = 4096;
// Plain character arrays: the signal handler may read them at any moment.
char pending[kSlots][kPathMax];
volatile std::sig_atomic_t pending_used[kSlots];

void remove_pending() {
    for (int i = 0; i < kSlots; ++i) {
        if (pending_used[i] != 0) {
            unlink(pending[i]);
            pending_used[i] = 0;
        }
    }
}

extern "C" void on_fatal_signal(int sig) {
    remove_pending();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void install_cleanup_once() {
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    std::atexit(remove_pending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(sig, on_fatal_signal);
    }
    // A write past the file-size limit then fails with EFBIG and takes the error path,
    // which reports it and removes the temporary file, instead of ending the tool.
    std::signal(SIGXFSZ, SIG_IGN);
}

std::string folder_of(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

TargetFile::TargetFile(const std::string &target) : target_(target) {
    struct stat st {};
    if (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        fail(target, "is a folder");
    }
    if (base_of(target).empty()) {
        fail(target, "names a folder, not a file");
    }
    install_cleanup_once();
    std::string name = folder_of(target) + "/." + base_of(target) + ".tmp.XXXXXX";
    if (name.size() >= kPathMax) {
        fail(target, "path too long");
    }
    for (int i = 0; i < kSlots; ++i) {
        if (pending_used[i] == 0) {
            slot_ = i;
            break;
        }
    }
    if (slot_ < 0) {
        fail(target, "too many files in the making");
    }
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        fail(target,
             std::string("cannot create a temporary file beside it: ") + std::strerror(errno));
    }
    close(fd);
    temp_ = name;
    std::memcpy(pending[slot_], temp_.c_str(), temp_.size() + 1);
    pending_used[slot_] = 1;
}

TargetFile::~TargetFile() {
    if (!committed_ && !temp_.empty()) {
        unlink(temp_.c_str());
    }
    if (slot_ >= 0) {
        pending_used[slot_] = 0;
    }
}

void TargetFile::commit() {
    const int fd = open(temp_.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) {
        const int err = errno;
        if (fd >= 0) {
            close(fd);
        }
        fail(target_, std::string("cannot commit the data to storage: ") + std::strerror(err));
    }
    close(fd);
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp_.c_str(), 0666 & ~mask);
    if (rename(temp_.c_str(), target_.c_str()) != 0) {
        fail(target_,
             std::string("cannot rename the finished file to it: ") + std::strerror(errno));
    }
    committed_ = true;
    pending_used[slot_] = 0;
}

} // namespace r64tool

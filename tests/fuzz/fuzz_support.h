// What the libFuzzer targets share: the input as a file (a memfd reached through
// /proc/self/fd, rewritten for each input) and quiet decoders. Each target is one unit
// and includes this once; it defines the target's LLVMFuzzerInitialize.
#ifndef R64_FUZZ_SUPPORT_H
#define R64_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "r64/r64.h"

namespace r64_fuzz {

// One memory file for the process; load() makes it hold exactly the input.
class InputFile {
  public:
    InputFile()
        : fd_(memfd_create("r64_fuzz_input", 0)), path_("/proc/self/fd/" + std::to_string(fd_)) {}
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    ~InputFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    bool load(const std::uint8_t *data, std::size_t size) {
        return fd_ >= 0 && ftruncate(fd_, 0) == 0 &&
               (size == 0 || pwrite(fd_, data, size, 0) == static_cast<ssize_t>(size));
    }
    int fd() const { return fd_; }
    const std::string &path() const { return path_; }

  private:
    int fd_;
    std::string path_;
};

inline InputFile &input_file() {
    static InputFile file;
    return file;
}

// Starts the library on the first call (an r64 cache of cache_entries entries, 0 for
// its default) and makes the input file hold data; false when it cannot.
inline bool load_input(const std::uint8_t *data, std::size_t size, int cache_entries = 0) {
    static const bool ready = [cache_entries] {
        check_endian();
        r64_init();
        if (cache_entries > 0) {
            ent_len = cache_entries;
        }
        return true;
    }();
    return ready && input_file().load(data, size);
}

// The input as a cr file opened read-only, or null.
inline CR_FILE *open_cr_input(const std::uint8_t *data, std::size_t size, int cache_entries = 0) {
    return load_input(data, size, cache_entries)
               ? cr_open_file(input_file().path().c_str(), O_RDONLY, 0666, 0, 0, 0)
               : nullptr;
}

} // namespace r64_fuzz

// Decoders print their warnings on standard error (libjpeg prints one per damaged
// stream): -close_fd_mask=2 discards them while libFuzzer and the sanitizers keep
// reporting on a copy of the descriptor. Put first, so a flag given by hand wins.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static std::vector<char *> args;
    static char quiet[] = "-close_fd_mask=2";
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + (args.empty() ? 0 : 1), quiet);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}

#endif

// What the libFuzzer targets share: the input as a file (a memfd reached through
// /proc/self/fd, rewritten for each input) and quiet decoders. Each target is one unit
// and includes this once; it defines the target's LLVMFuzzerInitialize.
#ifndef R64_FUZZ_SUPPORT_H
#define R64_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

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

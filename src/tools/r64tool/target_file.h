// The file a command makes. It is written under a temporary name in the target's own
// folder and renamed over the target only once complete, so that nothing half-written
// ever sits under the target's name. The temporary file is removed when the object
// goes uncommitted, at process exit (the library may end the process through
// er_panic), and on SIGINT, SIGTERM and SIGHUP.
#ifndef R64TOOL_TARGET_FILE_H
#define R64TOOL_TARGET_FILE_H

#include <string>

namespace r64tool {

class TargetFile {
  public:
    // Creates the empty temporary file; refuses a target that is a directory.
    explicit TargetFile(const std::string &target);
    ~TargetFile();
    TargetFile(const TargetFile &) = delete;
    TargetFile &operator=(const TargetFile &) = delete;

    const std::string &temp_path() const { return temp_; }
    const std::string &target() const { return target_; }
    // Commits the data to storage, gives the file the usual permissions (0666 less the
    // umask) and renames it over the target.
    void commit();

  private:
    std::string target_;
    std::string temp_;
    int slot_ = -1;
    bool committed_ = false;
};

} // namespace r64tool

#endif

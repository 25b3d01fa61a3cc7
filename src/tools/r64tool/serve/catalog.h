// Image names to files under the served folder, with every confinement check in one
// place: only regular .r64 and .cr files under the folder, reached without '..', '.',
// empty or absolute components, and without symlinks that lead outside it.
#ifndef R64TOOL_SERVE_CATALOG_H
#define R64TOOL_SERVE_CATALOG_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "refusal.h"

namespace r64serve {

// What identifies one version of a file: a replaced or rewritten file gets another.
struct FileIdentity {
    std::uint64_t dev = 0, ino = 0;
    std::int64_t size = 0, mtime_ns = 0;
    bool operator==(const FileIdentity &) const = default;
};

struct ResolvedFile {
    std::string path; // the real path, inside the folder
    FileIdentity id;
};

struct ListedImage {
    std::string name; // relative path without extension, or with it where two files share it
    std::string path;
    bool is_cr = false;
};

class Catalog {
  public:
    // Throws a ToolError when dir is not a readable folder.
    explicit Catalog(const std::string &dir);

    // The file an image name stands for, or why there is none (always a 404 refusal).
    std::optional<ResolvedFile> resolve(const std::string &name, Failure &why) const;
    // Every image under the folder, sorted by name, at most `limit`.
    std::vector<ListedImage> list(std::size_t limit) const;

  private:
    std::string root_; // real path, no trailing slash
    std::optional<ResolvedFile> confine(const std::string &candidate) const;
};

} // namespace r64serve

#endif

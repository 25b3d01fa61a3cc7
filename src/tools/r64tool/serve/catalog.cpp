// Name resolution and listing of the served folder. A name is checked component by
// component before any file system call, and the file it reaches is checked again after
// resolving symlinks, so that neither encoded '..' nor a symlink leaves the folder.
#include "catalog.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "../cli.h"

namespace r64serve {
namespace {

namespace fs = std::filesystem;

bool safe_components(const std::string &name) {
    if (name.empty() || name.front() == '/' || name.back() == '/' ||
        name.find('\\') != std::string::npos || name.find('\0') != std::string::npos) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t p = name.find('/', start);
        const std::string part = name.substr(start, p == std::string::npos ? p : p - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        if (p == std::string::npos) {
            return true;
        }
        start = p + 1;
    }
}

std::optional<std::string> real_path(const std::string &p) {
    std::unique_ptr<char, decltype(&std::free)> r(realpath(p.c_str(), nullptr), &std::free);
    if (!r) {
        return std::nullopt;
    }
    return std::string(r.get());
}

bool ends_with(const std::string &s, const char *ext) {
    return s.size() > std::strlen(ext) &&
           s.compare(s.size() - std::strlen(ext), std::string::npos, ext) == 0;
}

} // namespace

Catalog::Catalog(const std::string &dir) {
    struct stat st {};
    auto r = real_path(dir);
    if (!r || stat(r->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        r64tool::fail(dir, "not a folder that can be served");
    }
    root_ = *r == "/" ? "" : *r;
}

std::optional<ResolvedFile> Catalog::confine(const std::string &candidate) const {
    const auto r = real_path(candidate);
    if (!r || r->compare(0, root_.size() + 1, root_ + "/") != 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (stat(r->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    ResolvedFile out;
    out.path = *r;
    out.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
              static_cast<std::int64_t>(st.st_size),
              static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return out;
}

std::optional<ResolvedFile> Catalog::resolve(const std::string &name, Failure &why) const {
    if (!safe_components(name)) {
        why = {Refusal::BadName, "'" + name + "' is not a name of an image under the folder"};
        return std::nullopt;
    }
    const std::string base = root_ + "/" + name;
    auto r64 = confine(base + ".r64");
    auto cr = confine(base + ".cr");
    if (r64 && cr) {
        why = {Refusal::UnknownImage,
               "'" + name + "' is both an r64 and a cr file: name it with its extension"};
        return std::nullopt;
    }
    if (r64) {
        return r64;
    }
    if (cr) {
        return cr;
    }
    if (ends_with(name, ".r64") || ends_with(name, ".cr")) {
        if (auto f = confine(base)) {
            return f;
        }
    }
    why = {Refusal::UnknownImage, "no image '" + name + "'"};
    return std::nullopt;
}

std::vector<ListedImage> Catalog::list(std::size_t limit) const {
    // stem -> files with that stem (the r64 and the cr one)
    std::map<std::string, std::vector<ListedImage>> stems;
    std::error_code ec;
    const std::string root = root_.empty() ? "/" : root_;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    std::size_t seen = 0;
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        const bool is_r64 = ends_with(path, ".r64");
        const bool is_cr = ends_with(path, ".cr");
        if ((!is_r64 && !is_cr) || !confine(path)) {
            continue;
        }
        const std::string rel = path.substr(root_.size() + 1);
        const std::string stem = rel.substr(0, rel.size() - (is_r64 ? 4 : 3));
        stems[stem].push_back({stem, path, is_cr});
        if (++seen >= 4 * limit) {
            break;
        }
    }
    std::vector<ListedImage> out;
    for (auto &[stem, files] : stems) {
        for (ListedImage &f : files) {
            if (files.size() > 1) {
                f.name += f.is_cr ? ".cr" : ".r64";
            }
            out.push_back(f);
        }
    }
    std::sort(out.begin(), out.end(),
              [](const ListedImage &a, const ListedImage &b) { return a.name < b.name; });
    if (out.size() > limit) {
        out.resize(limit);
    }
    return out;
}

} // namespace r64serve

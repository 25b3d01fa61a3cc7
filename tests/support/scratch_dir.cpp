// Temporary directories and crafted files for the tests.
#include "scratch_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fs = std::filesystem;

namespace r64_test {

ScratchDir::ScratchDir() : path_((fs::temp_directory_path() / "r64test.XXXXXX").string()) {
    if (mkdtemp(path_.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Tests may drop permissions on what they made; give them back before removing.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

void write_bytes(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

Bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long file_size(const std::string &path) {
    std::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? -1 : static_cast<long>(n);
}

void put_be16(Bytes &b, unsigned v) {
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
    b.push_back(static_cast<unsigned char>(v & 0xFF));
}

void put_be32(Bytes &b, unsigned long v) {
    put_be16(b, static_cast<unsigned>((v >> 16) & 0xFFFF));
    put_be16(b, static_cast<unsigned>(v & 0xFFFF));
}

Bytes r64_header(char type, int width, int height) {
    Bytes b{'R', '6', '4', static_cast<unsigned char>(type)};
    put_be16(b, static_cast<unsigned>(width) & 0xFFFF);
    put_be16(b, static_cast<unsigned>(height) & 0xFFFF);
    return b;
}

Bytes cr_header(int width, int height, unsigned rect_size, unsigned long tbl_nos,
                unsigned char type) {
    Bytes b{'C', 'R', 0, type};
    put_be16(b, static_cast<unsigned>(width) & 0xFFFF);
    put_be16(b, static_cast<unsigned>(height) & 0xFFFF);
    put_be16(b, rect_size & 0xFFFF);
    put_be16(b, 0);
    put_be32(b, tbl_nos);
    return b;
}

} // namespace r64_test

// A unique temporary directory for one test, removed with everything in it when the
// object goes, and small helpers to craft and read back files byte for byte.
#ifndef R64_TEST_SCRATCH_DIR_H
#define R64_TEST_SCRATCH_DIR_H

#include <string>
#include <vector>

namespace r64_test {

using Bytes = std::vector<unsigned char>;

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_bytes(const std::string &path, const Bytes &bytes);
Bytes read_bytes(const std::string &path);
long file_size(const std::string &path); // -1 when there is no such file

// Append a 16-bit or 32-bit value big-endian, as both formats store them.
void put_be16(Bytes &b, unsigned v);
void put_be32(Bytes &b, unsigned long v);

// An r64 header: "R64", the type, width and height.
Bytes r64_header(char type, int width, int height);
// A cr header: "CR", a zero byte, the type byte, width, height, tile edge, two zero
// bytes and the record count.
Bytes cr_header(int width, int height, unsigned rect_size, unsigned long tbl_nos,
                unsigned char type = 0);

} // namespace r64_test

#endif

// Positioned I/O on an r64 handle's file: pread/pwrite/pwritev with the write checksum
// kept on the direct path, the layer's seek + read/write on the routed path, the
// remembered file length and background fills. Relies on the file-request layer for the
// routing rule and the checksum registry, and on r64_cache.h for the background pattern.
#include "r64/file/r64_io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <unistd.h>

#include "r64/file/r64_cache.h"

namespace r64 {

namespace {

// One direct transfer of at most this many bytes (the system caps a call below 2 GiB).
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;
// Pieces handed to one pwritev (the system allows 1024).
constexpr std::size_t kMaxPieces = 1024;
// A background block: a whole number of 'P' pixels, so the pattern runs on across blocks.
constexpr std::size_t kFillBlock = 3 * 16384;
// Blocks handed to one pwritev of a fill: 1.5 MiB a call.
constexpr std::size_t kFillBlocksPerCall = 32;
// Pieces of a routed fill, as the host has always seen them.
constexpr int kRoutedFillPiece = 999;

bool routed(int fd) {
    return ufr_dispatch != nullptr && fd >= U_DISPATCH_FD_MIN;
}

int io_failed() {
    r64_error = R64_ERR_IO;
    return -1;
}

// The bytes of a successful direct write go into the descriptor's checksum, as u_write
// adds them; a failed one still makes sure the descriptor has its record.
void add_to_checksum(int fd, std::span<const iovec> pieces, ssize_t put) {
    if (put <= 0) {
        set_checksum(fd, pieces.empty() ? nullptr : pieces[0].iov_base, static_cast<int>(put));
        return;
    }
    auto left = static_cast<std::size_t>(put);
    for (const iovec &p : pieces) {
        if (left == 0) {
            break;
        }
        std::size_t n = std::min(left, p.iov_len);
        left -= n;
        const auto *bytes = static_cast<const unsigned char *>(p.iov_base);
        while (n > 0) { // set_checksum counts in int
            const std::size_t step = std::min<std::size_t>(n, INT_MAX);
            set_checksum(fd, bytes, static_cast<int>(step));
            bytes += step;
            n -= step;
        }
    }
}

// One whole pwritev of pieces at pos on the direct path; false on failure or short write.
bool pwrite_all(int fd, uint64_t pos, std::span<const iovec> pieces, std::size_t total,
                uint64_t *done) {
    ssize_t put;
    do {
        put = pieces.size() == 1
                  ? pwrite(fd, pieces[0].iov_base, pieces[0].iov_len, static_cast<off_t>(pos))
                  : pwritev(fd, pieces.data(), static_cast<int>(pieces.size()),
                            static_cast<off_t>(pos));
    } while (put < 0 && errno == EAGAIN);
    const int err = errno; // the registry may allocate; the caller reports this errno
    add_to_checksum(fd, pieces, put);
    errno = err;
    if (put > 0) {
        *done += static_cast<uint64_t>(put);
    }
    if (put < 0 || static_cast<std::size_t>(put) == total) {
        return put >= 0;
    }
    // A short write sets no errno. The write still fails, but one more attempt at what
    // is left tells the caller why (no space on the device, a file-size limit).
    auto skip = static_cast<std::size_t>(put);
    for (const iovec &p : pieces) {
        if (skip >= p.iov_len) {
            skip -= p.iov_len;
            continue;
        }
        const iovec rest{static_cast<char *>(p.iov_base) + skip, p.iov_len - skip};
        errno = 0;
        const ssize_t more = pwrite(fd, rest.iov_base, rest.iov_len,
                                    static_cast<off_t>(pos + static_cast<uint64_t>(put)));
        const int why = errno != 0 ? errno : EIO;
        if (more > 0) {
            add_to_checksum(fd, {&rest, 1}, more);
            *done += static_cast<uint64_t>(more);
        }
        errno = why;
        break;
    }
    return false;
}

int routed_write_pieces(R64_FILE *f, uint64_t pos, std::span<const iovec> pieces, uint64_t *done) {
    if (u_lseek64(f->fd, static_cast<int64_t>(pos), SEEK_SET) < 0) {
        return io_failed();
    }
    for (const iovec &p : pieces) {
        const auto *bytes = static_cast<const char *>(p.iov_base);
        for (std::size_t left = p.iov_len; left > 0;) {
            const auto n = static_cast<int>(std::min<std::size_t>(left, kMaxTransfer));
            int put;
            do {
                put = u_write(f->fd, bytes, n);
            } while (put < 0 && errno == EAGAIN);
            if (put > 0) {
                *done += static_cast<uint64_t>(put);
            }
            if (put != n) {
                return io_failed();
            }
            bytes += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    return 0;
}

} // namespace

bool direct_io(const R64_FILE *f) {
    return f->priv != nullptr && !routed(f->fd);
}

int64_t refresh_file_length(R64_FILE *f) {
    const int64_t length = u_lseek64(f->fd, 0, SEEK_END);
    if (length < 0) {
        forget_file_length(f);
        io_failed();
        return -1;
    }
    if (direct_io(f)) {
        f->priv->length = length;
        f->priv->length_known = true;
    } else {
        forget_file_length(f);
    }
    return length;
}

int64_t file_length(R64_FILE *f) {
    if (direct_io(f) && f->priv->length_known) {
        return f->priv->length;
    }
    return refresh_file_length(f);
}

void note_file_end(R64_FILE *f, uint64_t end) {
    if (direct_io(f) && f->priv->length_known && static_cast<int64_t>(end) > f->priv->length) {
        f->priv->length = static_cast<int64_t>(end);
    }
}

void forget_file_length(R64_FILE *f) {
    if (f->priv != nullptr) {
        f->priv->length_known = false;
    }
}

int read_at(R64_FILE *f, uint64_t pos, void *buf, std::size_t n) {
    if (!direct_io(f)) {
        forget_file_length(f);
        if (u_lseek64(f->fd, static_cast<int64_t>(pos), SEEK_SET) < 0) {
            return io_failed();
        }
        auto *bytes = static_cast<char *>(buf);
        for (std::size_t left = n; left > 0;) {
            const auto step = static_cast<int>(std::min(left, kMaxTransfer));
            int got;
            do {
                got = u_read(f->fd, bytes, step);
            } while (got < 0 && errno == EAGAIN);
            if (got != step) {
                return io_failed();
            }
            bytes += step;
            left -= static_cast<std::size_t>(step);
        }
        return 0;
    }
    auto *bytes = static_cast<char *>(buf);
    for (std::size_t left = n; left > 0;) {
        const std::size_t step = std::min(left, kMaxTransfer);
        ssize_t got;
        do {
            got = pread(f->fd, bytes, step, static_cast<off_t>(pos));
        } while (got < 0 && errno == EAGAIN);
        if (got < 0 || static_cast<std::size_t>(got) != step) {
            return io_failed();
        }
        bytes += step;
        pos += step;
        left -= step;
    }
    return 0;
}

int write_pieces_at(R64_FILE *f, uint64_t pos, std::span<const iovec> pieces, uint64_t *written) {
    uint64_t done = 0;
    uint64_t ignored = 0;
    uint64_t &out = written != nullptr ? *written : ignored;
    out = 0;
    if (!direct_io(f)) {
        forget_file_length(f);
        const int rc = routed_write_pieces(f, pos, pieces, &done);
        out = done;
        return rc;
    }
    // Batches of whole pieces up to the piece and size limits; a piece above the size
    // limit goes alone in slices.
    std::size_t i = 0;
    uint64_t at = pos;
    while (i < pieces.size()) {
        if (pieces[i].iov_len > kMaxTransfer) {
            const auto *bytes = static_cast<char *>(pieces[i].iov_base);
            for (std::size_t left = pieces[i].iov_len; left > 0;) {
                const std::size_t step = std::min(left, kMaxTransfer);
                const iovec slice{const_cast<char *>(bytes), step};
                if (!pwrite_all(f->fd, at, {&slice, 1}, step, &done)) {
                    out = done;
                    forget_file_length(f);
                    return io_failed();
                }
                bytes += step;
                at += step;
                left -= step;
            }
            ++i;
            continue;
        }
        std::size_t j = i;
        std::size_t total = 0;
        while (j < pieces.size() && j - i < kMaxPieces &&
               total + pieces[j].iov_len <= kMaxTransfer) {
            total += pieces[j].iov_len;
            ++j;
        }
        if (!pwrite_all(f->fd, at, pieces.subspan(i, j - i), total, &done)) {
            out = done;
            forget_file_length(f);
            return io_failed();
        }
        at += total;
        i = j;
    }
    out = done;
    note_file_end(f, at);
    return 0;
}

int write_at(R64_FILE *f, uint64_t pos, const void *buf, std::size_t n) {
    const iovec piece{const_cast<void *>(buf), n};
    return write_pieces_at(f, pos, {&piece, 1});
}

int fill_background_at(R64_FILE *f, uint64_t pos, uint64_t len) {
    if (!direct_io(f)) {
        forget_file_length(f);
        if (u_lseek64(f->fd, static_cast<int64_t>(pos), SEEK_SET) < 0) {
            return io_failed();
        }
        std::array<unsigned char, kRoutedFillPiece> block;
        fill_background_pattern(f, block.data(), block.size());
        for (uint64_t done = 0; done < len;) {
            const auto piece = static_cast<int>(std::min<uint64_t>(len - done, block.size()));
            if (u_write(f->fd, block.data(), piece) != piece) {
                std::perror("fill_background");
                return io_failed();
            }
            done += static_cast<uint64_t>(piece);
        }
        return 0;
    }
    std::array<unsigned char, kFillBlock> block;
    fill_background_pattern(f, block.data(), std::min<uint64_t>(len, block.size()));
    std::array<iovec, kFillBlocksPerCall> pieces;
    for (uint64_t done = 0; done < len;) {
        std::size_t count = 0;
        std::size_t total = 0;
        while (count < pieces.size() && done + total < len) {
            const std::size_t n = std::min<uint64_t>(len - done - total, block.size());
            pieces[count++] = iovec{block.data(), n};
            total += n;
        }
        uint64_t put = 0;
        if (!pwrite_all(f->fd, pos + done, {pieces.data(), count}, total, &put)) {
            forget_file_length(f);
            std::perror("fill_background");
            return io_failed();
        }
        done += total;
    }
    note_file_end(f, pos + len);
    return 0;
}

} // namespace r64

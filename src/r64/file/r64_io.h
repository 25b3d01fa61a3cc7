// Positioned I/O on an r64 handle's file, and the handle's private state. On the direct
// path (no dispatcher routes the descriptor) requests go to pread/pwrite with the write
// checksum kept, and the file's length is remembered instead of asked; on the routed path
// every request goes through the file-request layer as seek + read/write, unremembered.
#ifndef R64_SRC_R64_IO_H
#define R64_SRC_R64_IO_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/uio.h>
#include <type_traits>

#include "r64/r64.h"
#include "r64/file/tile_index.h"

// What a handle keeps beyond its public fields, allocated with the handle (zero-filled,
// which is its valid initial state) and reached through R64_FILE.priv.
struct r64_file_priv {
    int64_t length;     // the file's length, when length_known
    bool length_known;  // false until asked, and again after a failed or routed request
    bool offsets_wrap;  // the levels reach past 4 GiB: tile offsets wrap (set at open)
    bool no_write_back; // R64_CTL_WRITE_BACK 0: a scratch file, never synced
    char *tile_buffers; // one malloc block holding every cache entry's tile buffer
    int ring_capacity;  // entries the ring can hold (ent_len - 1 at open)
    uint32_t use_clock; // counts moves to the head of the ring
    uint32_t last_use[R64_CACHE_ENTRIES]; // use_clock at each entry's last move to the head
    r64::TileIndex index;                 // the ring's entries by tile, for _search_ce
};
static_assert(std::is_trivial_v<r64_file_priv>, "zero-filled allocation is its initial state");

namespace r64 {

// True when the handle's requests go straight to the system: it has its private state
// and no dispatcher routes its descriptor. Decided per request, as the layer decides.
bool direct_io(const R64_FILE *f);

// The file's length: remembered on the direct path (asked once, then kept up to date by
// this handle's writes), asked through u_lseek64 on every call on the routed path.
// -1 with r64_error -1 when it cannot be had.
int64_t file_length(R64_FILE *f);
// Asks the system for the length again (a read-only handle whose tile lies past what
// it knows, or a read that came back short). -1 with r64_error -1 on failure.
int64_t refresh_file_length(R64_FILE *f);
// Records that this handle's write made the file reach at least end.
void note_file_end(R64_FILE *f, uint64_t end);
// Forgets the remembered length (the next file_length asks again).
void forget_file_length(R64_FILE *f);

// Reads n bytes at pos into buf: pread, or u_lseek64 + u_read when routed. EAGAIN is
// repeated; a failure or a short read gives -1 with r64_error -1, else 0.
int read_at(R64_FILE *f, uint64_t pos, void *buf, std::size_t n);
// Writes n bytes from buf at pos: pwrite with the write checksum kept, or u_lseek64 +
// u_write when routed. EAGAIN is repeated; a failure or a short write gives -1 with
// r64_error -1, else 0. A write that extends the file updates the remembered length.
int write_at(R64_FILE *f, uint64_t pos, const void *buf, std::size_t n);
// Writes the pieces back to back from pos (pwritev in batches, or seek + one u_write a
// piece when routed), as write_at. *written, when given, gets the bytes that reached
// the file before a failure (all of them on success).
int write_pieces_at(R64_FILE *f, uint64_t pos, std::span<const iovec> pieces,
                    uint64_t *written = nullptr);
// Writes len background bytes from pos, the pattern starting with background[0] at pos,
// in large pieces (999-byte pieces through the layer when routed). On failure prints
// "fill_background" and the system's message, and gives -1 with r64_error -1.
int fill_background_at(R64_FILE *f, uint64_t pos, uint64_t len);

} // namespace r64

#endif

// Memory destination manager for libjpeg: the compressed stream goes into one
// malloc'ed buffer, first sized like the raw 4-byte image and grown when a stream
// outgrows it. The buffer's address is published through the caller's ppBuffer
// after every (re)allocation; the caller owns the buffer and frees it.
#include <cstdint>
#include <cstdlib>

#include <jerror.h>

#include "image/jpeg/jpeg_memory_dest.h"
#include "r64/jpeg_mem.h"

namespace {

struct my_destination_mgr {
    jpeg_destination_mgr pub;
    unsigned char **ppBuffer; // where the buffer's current address is published
    int *pWritten;            // kept for callers; never read or written here
    unsigned char *buffer;
    std::size_t capacity; // bytes allocated at buffer
};
using my_dest_ptr = my_destination_mgr *;

my_dest_ptr memory_dest(j_compress_ptr cinfo) {
    return reinterpret_cast<my_dest_ptr>(cinfo->dest);
}

// Smallest buffer worth allocating: a 1x1 tile's stream is several hundred bytes.
constexpr std::size_t min_capacity = 1024;

} // namespace

extern "C" {

static void init_destination(j_compress_ptr cinfo) {
    my_dest_ptr dest = memory_dest(cinfo);
    std::size_t raw = std::size_t{cinfo->image_width} * cinfo->image_height * 4;
    std::size_t capacity = raw < min_capacity ? min_capacity : raw;
    dest->buffer = static_cast<unsigned char *>(std::malloc(capacity));
    *dest->ppBuffer = dest->buffer;
    if (dest->buffer == nullptr)
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    dest->capacity = capacity;
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = capacity;
}

// Called when the buffer is full: doubles it, keeping what was written, so a
// stream longer than the raw image is never written past the end.
static boolean empty_output_buffer(j_compress_ptr cinfo) {
    my_dest_ptr dest = memory_dest(cinfo);
    std::size_t used = dest->capacity;
    if (used > SIZE_MAX / 2)
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    std::size_t capacity = used * 2;
    auto *grown = static_cast<unsigned char *>(std::realloc(dest->buffer, capacity));
    if (grown == nullptr)
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY); // the old buffer stays published and owned
    dest->buffer = grown;
    *dest->ppBuffer = grown;
    dest->capacity = capacity;
    dest->pub.next_output_byte = grown + used;
    dest->pub.free_in_buffer = capacity - used;
    return TRUE;
}

static void term_destination(j_compress_ptr) {}

void jpeg_memory_dest(struct jpeg_compress_struct *cinfo, unsigned char **ppBuffer, int *pWritten) {
    // Reuse a record only if it is ours: another manager's record may be smaller.
    if (cinfo->dest == nullptr || cinfo->dest->init_destination != init_destination) {
        cinfo->dest = static_cast<jpeg_destination_mgr *>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(my_destination_mgr)));
    }
    my_dest_ptr dest = memory_dest(cinfo);
    dest->pub.init_destination = init_destination;
    dest->pub.empty_output_buffer = empty_output_buffer;
    dest->pub.term_destination = term_destination;
    dest->pub.next_output_byte = nullptr;
    dest->pub.free_in_buffer = 0;
    dest->ppBuffer = ppBuffer;
    dest->pWritten = pWritten;
    dest->buffer = nullptr;
    dest->capacity = 0;
}

// The bytes written so far plus 3: taken before jpeg_finish_compress, the 3 stand
// for a last partial byte of coded data and the end-of-image marker.
int get_jpeg_compressed_size(struct jpeg_compress_struct *cinfo) {
    return static_cast<int>(r64::jpeg_memory_dest_written(cinfo) + 3);
}

} // extern "C"

namespace r64 {

std::size_t jpeg_memory_dest_written(j_compress_ptr cinfo) {
    my_dest_ptr dest = memory_dest(cinfo);
    return dest->capacity - dest->pub.free_in_buffer;
}

} // namespace r64

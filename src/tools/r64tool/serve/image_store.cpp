// Opening r64 and cr files for serving and reading rectangles of their levels: r64
// through r64_read_block, cr tile by tile through the decoder (each tile reconstructed
// from the levels above). Library failures become 500-class failures with the reason.
#include "image_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "../cli.h"

namespace r64serve {
namespace {

Failure library_failure(const std::string &path, const std::string &what) {
    std::string reason = path + ": " + what + ": " + r64tool::r64_error_words(r64_error) +
                         " [r64_error " + std::to_string(r64_error) + "]";
    return {Refusal::DamagedImage, reason};
}

bool open_into(OpenImage &img, Failure *why) {
    r64tool::library_init();
    const std::string &path = img.file.path;
    errno = 0;
    img.r64.reset(r64_open_file(path.c_str(), O_RDONLY, 0, 'P', 0, 0));
    if (img.r64) {
        R64_FILE *f = img.r64.get();
        img.type = f->header.type;
        img.tile = R64_TILE;
        for (int l = 0; l < R64_LEVELS && r64_check_level(f, l) != 0; ++l) {
            img.level_w.push_back(f->level_w[l]);
            img.level_h.push_back(f->level_h[l]);
        }
    } else {
        if (r64_error != R64_ERR_FORMAT) {
            *why = library_failure(path, "cannot open");
            if (errno == ENOENT) {
                why->why = Refusal::UnknownImage;
            }
            return false;
        }
        errno = 0;
        img.cr.reset(cr_open_file(path.c_str(), O_RDONLY, 0, 256, 0, 0));
        if (!img.cr) {
            *why = library_failure(path, "cannot open as r64 or cr");
            return false;
        }
        CR_FILE *f = img.cr.get();
        img.decoder.reset(cr_open_decoder(f, 0));
        if (!img.decoder) {
            *why = library_failure(path, "cannot decode");
            return false;
        }
        img.type = 'P';
        img.tile = f->header.rect_size;
        for (int l = 0; l < R64_LEVELS && cr_check_level(f, l) != 0; ++l) {
            img.level_w.push_back(f->level_w[l]);
            img.level_h.push_back(f->level_h[l]);
        }
    }
    if (img.level_w.empty()) {
        *why = {Refusal::DamagedImage, path + ": no complete level"};
        return false;
    }
    img.width = img.level_w[0];
    img.height = img.level_h[0];
    return true;
}

} // namespace

OpenImage *ImageStore::get(const ResolvedFile &file, Failure *why) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if (it->file.path != file.path) {
            continue;
        }
        if (it->file.id == file.id) {
            open_.splice(open_.begin(), open_, it);
            return &open_.front();
        }
        // The decoder must go before its file.
        it->decoder.reset();
        open_.erase(it);
        break;
    }
    OpenImage img;
    img.file = file;
    if (!open_into(img, why)) {
        img.decoder.reset();
        return nullptr;
    }
    open_.push_front(std::move(img));
    while (open_.size() > max_open_) {
        open_.back().decoder.reset();
        open_.pop_back();
    }
    return &open_.front();
}

std::optional<Pixels> ImageStore::read(OpenImage &img, int level, const Rect &r, Failure *why) {
    Pixels out;
    out.w = static_cast<int>(r.w);
    out.h = static_cast<int>(r.h);
    out.channels = img.type == 'P' ? 3 : 1;
    const std::size_t stride = static_cast<std::size_t>(out.w) * out.channels;
    out.data.resize(stride * out.h);
    const std::string where =
        "level " + std::to_string(level) + " at " + std::to_string(r.x) + "," + std::to_string(r.y);
    if (img.r64) {
        errno = 0;
        if (r64_read_block(out.data.data(), stride, img.r64.get(), static_cast<int>(r.x),
                           static_cast<int>(r.y), out.w, out.h, level) != 0) {
            *why = library_failure(img.file.path, "cannot read " + where);
            return std::nullopt;
        }
        return out;
    }
    const long edge = img.tile;
    for (long ty = r.y / edge * edge; ty < r.y + r.h; ty += edge) {
        for (long tx = r.x / edge * edge; tx < r.x + r.w; tx += edge) {
            int tw = 0, th = 0;
            errno = 0;
            r64tool::MallocPtr tile(cr_decode_tile(
                &tw, &th, img.decoder.get(), static_cast<int>(tx), static_cast<int>(ty), level));
            if (!tile) {
                *why = library_failure(
                    img.file.path, "cannot decode the tile at " + std::to_string(tx) + "," +
                                       std::to_string(ty) + " of level " + std::to_string(level));
                return std::nullopt;
            }
            // Copy the part of the tile inside the rectangle, 4 bytes a pixel to 3.
            const long x0 = std::max(tx, r.x), x1 = std::min(tx + tw, r.x + r.w);
            const long y0 = std::max(ty, r.y), y1 = std::min(ty + th, r.y + r.h);
            for (long y = y0; y < y1; ++y) {
                const unsigned char *s =
                    tile.get() + (static_cast<std::size_t>(y - ty) * tw + (x0 - tx)) * 4;
                std::uint8_t *d = out.data.data() + static_cast<std::size_t>(y - r.y) * stride +
                                  static_cast<std::size_t>(x0 - r.x) * 3;
                for (long x = x0; x < x1; ++x, s += 4, d += 3) {
                    d[0] = s[0], d[1] = s[1], d[2] = s[2];
                }
            }
        }
    }
    return out;
}

} // namespace r64serve

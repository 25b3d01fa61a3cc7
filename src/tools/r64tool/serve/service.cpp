// Requests to replies: resolution, conditional requests (ETag), the response cache,
// info.json and .dzi documents, and the rendering pipeline. Library calls (opening,
// reading) run under one mutex; resampling and encoding run outside it.
#include "service.h"

#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "assets.h"
#include "encode.h"
#include "geometry.h"
#include "serve_limits.h"
#include "pages.h"

namespace r64serve {
namespace {

std::string etag_of(const FileIdentity &id, const std::string &what) {
    // FNV-1a over the identity and the request: a new file version or another request
    // is another tag.
    std::uint64_t h = 1469598103934665603ULL;
    const auto mix = [&h](const void *p, std::size_t n) {
        const auto *b = static_cast<const unsigned char *>(p);
        for (std::size_t i = 0; i < n; ++i) {
            h = (h ^ b[i]) * 1099511628211ULL;
        }
    };
    mix(&id.dev, sizeof id.dev);
    mix(&id.ino, sizeof id.ino);
    mix(&id.size, sizeof id.size);
    mix(&id.mtime_ns, sizeof id.mtime_ns);
    mix(what.data(), what.size());
    char buf[24];
    std::snprintf(buf, sizeof buf, "\"%016llx\"", static_cast<unsigned long long>(h));
    return buf;
}

bool etag_matches(const std::string &header, const std::string &etag) {
    if (header.empty()) {
        return false;
    }
    if (header == "*") {
        return true;
    }
    // A list of tags, possibly weak (W/"..."): ours is quoted, so a substring match is
    // a match of one whole tag.
    return header.find(etag) != std::string::npos;
}

bool valid_host(const std::string &h) {
    if (h.empty() || h.size() > 255) {
        return false;
    }
    for (char c : h) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr(".-:[]", c) != nullptr)) {
            return false;
        }
    }
    return true;
}

Reply not_modified(const std::string &etag, int max_age) {
    Reply r;
    r.status = 304;
    r.etag = etag;
    r.max_age = max_age;
    return r;
}

} // namespace

std::string url_encode(const std::string &s) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string html_escape(const std::string &s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string json_escape(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

Service::Service(const ServiceConfig &config)
    : config_(config), limits_{config.max_area, kMaxOutputEdge, kMaxOutputEdge},
      catalog_(config.dir), store_(kMaxOpenImages), cache_(config.cache_bytes) {}

Reply Service::refuse(const Failure &f) {
    const RefusalInfo info = refusal_info(f.why);
    Reply r;
    r.status = info.status;
    r.content_type = "text/plain; charset=utf-8";
    r.body = std::string(info.words) + "\n";
    r.detail = f.detail;
    return r;
}

std::string Service::base_url(const RequestContext &ctx) const {
    if (!config_.base_url.empty()) {
        return config_.base_url;
    }
    return "http://" + (valid_host(ctx.host) ? ctx.host : std::string("127.0.0.1"));
}

std::optional<Service::ImageFacts> Service::facts(const std::string &name, Failure *why) {
    auto file = catalog_.resolve(name, *why);
    if (!file) {
        return std::nullopt;
    }
    std::lock_guard lock(library_);
    OpenImage *img = store_.get(*file, why);
    if (img == nullptr) {
        return std::nullopt;
    }
    return ImageFacts{img->file, img->type,    img->width,  img->height,
                      img->tile, img->level_w, img->level_h};
}

Reply Service::handle(const Route &route, const RequestContext &ctx) {
    if (const auto *f = std::get_if<Failure>(&route)) {
        return refuse(*f);
    }
    if (std::holds_alternative<IndexPage>(route)) {
        return index(ctx);
    }
    if (const auto *v = std::get_if<ViewerPage>(&route)) {
        return viewer(v->name);
    }
    if (const auto *a = std::get_if<Asset>(&route)) {
        const EmbeddedFile *file = find_asset(a->path);
        if (file == nullptr) {
            return refuse({Refusal::UnknownPath, "no asset " + a->path});
        }
        Reply r;
        r.body.assign(reinterpret_cast<const char *>(file->data), file->size);
        r.content_type = file->content_type;
        r.max_age = kTileMaxAgeSeconds;
        r.etag = etag_of({}, std::string("asset|") + file->path + "|" + std::to_string(file->size));
        if (etag_matches(ctx.if_none_match, r.etag)) {
            return not_modified(r.etag, r.max_age);
        }
        return r;
    }
    if (const auto *b = std::get_if<IiifBase>(&route)) {
        Failure why;
        if (!catalog_.resolve(b->name, why)) {
            return refuse(why);
        }
        Reply r;
        r.status = 303;
        r.location = base_url(ctx) + "/iiif/3/" + url_encode(b->name) + "/info.json";
        return r;
    }
    if (const auto *i = std::get_if<IiifInfo>(&route)) {
        return info_json(i->name, ctx);
    }
    if (const auto *i = std::get_if<IiifImage>(&route)) {
        return render(i->name, "iiif|" + i->canonical, ctx, &i->image, nullptr);
    }
    if (const auto *d = std::get_if<DziInfo>(&route)) {
        return dzi(d->name);
    }
    const auto &t = std::get<DziTile>(route);
    return render(t.name,
                  "dz|" + std::to_string(t.level) + "/" + std::to_string(t.col) + "_" +
                      std::to_string(t.row),
                  ctx, nullptr, &t);
}

Reply Service::index(const RequestContext &) {
    std::vector<IndexEntry> entries;
    for (const ListedImage &l : catalog_.list(kMaxIndexEntries)) {
        IndexEntry e;
        e.name = l.name;
        e.is_cr = l.is_cr;
        Failure why;
        if (auto f = facts(l.name, &why)) {
            e.ok = true;
            e.type = f->type;
            e.width = f->width;
            e.height = f->height;
            e.levels = static_cast<int>(f->level_w.size());
            e.file_size = f->file.id.size;
        } else {
            e.problem = why.detail;
        }
        entries.push_back(std::move(e));
    }
    Reply r;
    r.body = index_html(entries);
    r.content_type = "text/html; charset=utf-8";
    r.max_age = kPageMaxAgeSeconds;
    return r;
}

Reply Service::viewer(const std::string &name) {
    Failure why;
    const auto f = facts(name, &why);
    if (!f) {
        return refuse(why);
    }
    ViewerFacts v{name,      f->file.id.size,
                  f->type,   f->width,
                  f->height, static_cast<int>(f->level_w.size()),
                  f->tile,   f->file.path.ends_with(".cr")};
    Reply r;
    r.body = viewer_html(v, "/iiif/3/" + url_encode(name) + "/info.json");
    r.content_type = "text/html; charset=utf-8";
    r.max_age = kPageMaxAgeSeconds;
    return r;
}

Reply Service::info_json(const std::string &name, const RequestContext &ctx) {
    Failure why;
    const auto f = facts(name, &why);
    if (!f) {
        return refuse(why);
    }
    const std::string id = base_url(ctx) + "/iiif/3/" + url_encode(name);
    const bool ld = ctx.accept.find("application/ld+json") != std::string::npos;
    Reply r;
    r.etag = etag_of(f->file.id, "info|" + id + (ld ? "|ld" : ""));
    r.max_age = kTileMaxAgeSeconds;
    if (etag_matches(ctx.if_none_match, r.etag)) {
        return not_modified(r.etag, r.max_age);
    }
    using Json = nlohmann::ordered_json;
    Json scale = Json::array();
    for (std::size_t l = 0; l < f->level_w.size(); ++l) {
        scale.push_back(1L << l);
    }
    // Stored level sizes that a client may ask for, smallest first.
    Json sizes = Json::array();
    for (std::size_t l = f->level_w.size(); l-- > 0;) {
        const long w = f->level_w[l], h = f->level_h[l];
        if (w * h <= limits_.max_area && w <= limits_.max_width && h <= limits_.max_height) {
            sizes.push_back({{"width", w}, {"height", h}});
        }
    }
    const Json info = {{"@context", "http://iiif.io/api/image/3/context.json"},
                       {"id", id},
                       {"type", "ImageService3"},
                       {"protocol", "http://iiif.io/api/image"},
                       {"profile", "level2"},
                       {"width", f->width},
                       {"height", f->height},
                       {"maxArea", limits_.max_area},
                       {"maxWidth", limits_.max_width},
                       {"maxHeight", limits_.max_height},
                       {"tiles", Json::array({{{"width", kServedTileEdge},
                                               {"height", kServedTileEdge},
                                               {"scaleFactors", scale}}})},
                       {"sizes", sizes},
                       {"extraQualities", {"color", "gray", "bitonal"}},
                       {"extraFeatures", {"mirroring", "sizeUpscaling"}}};
    r.body = info.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    r.content_type = ld ? "application/ld+json;profile=\"http://iiif.io/api/image/3/context.json\""
                        : "application/json";
    return r;
}

Reply Service::dzi(const std::string &name) {
    Failure why;
    const auto f = facts(name, &why);
    if (!f) {
        return refuse(why);
    }
    Reply r;
    r.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<Image xmlns=\"http://schemas.microsoft.com/deepzoom/2008\" TileSize=\"" +
             std::to_string(kDeepZoomTileEdge) +
             "\" Overlap=\"0\" Format=\"jpg\">\n  <Size Width=\"" + std::to_string(f->width) +
             "\" Height=\"" + std::to_string(f->height) + "\"/>\n</Image>\n";
    r.content_type = "application/xml";
    r.etag = etag_of(f->file.id, "dzi");
    r.max_age = kTileMaxAgeSeconds;
    return r;
}

Reply Service::render(const std::string &name, const std::string &key_suffix,
                      const RequestContext &ctx, const ImageRequest *iiif, const DziTile *dz) {
    Failure why;
    auto file = catalog_.resolve(name, why);
    if (!file) {
        return refuse(why);
    }
    const std::string etag = etag_of(file->id, key_suffix + "|q" + std::to_string(config_.quality));
    if (etag_matches(ctx.if_none_match, etag)) {
        return not_modified(etag, kTileMaxAgeSeconds);
    }
    if (auto hit = cache_.find(etag)) {
        Reply r;
        r.body = hit->body;
        r.content_type = hit->content_type;
        r.etag = etag;
        r.max_age = kTileMaxAgeSeconds;
        return r;
    }
    Rect region;
    OutSize out;
    std::optional<Pixels> pixels;
    int level = 0;
    Rect at;
    {
        std::lock_guard lock(library_);
        OpenImage *img = store_.get(*file, &why);
        if (img == nullptr) {
            return refuse(why);
        }
        if (iiif != nullptr) {
            const auto reg = region_pixels(iiif->region, img->width, img->height);
            if (!reg) {
                return refuse(
                    {Refusal::BadRegion, "the region lies outside the picture or is empty"});
            }
            region = *reg;
            if (auto bad = output_size(iiif->size, region.w, region.h, limits_, out)) {
                return refuse(*bad);
            }
        } else {
            const auto reg = dz_tile_region(img->width, img->height, dz->level, dz->col, dz->row,
                                            kDeepZoomTileEdge, out);
            if (!reg) {
                return refuse({Refusal::UnknownPath, "no such Deep Zoom tile"});
            }
            region = *reg;
        }
        level = choose_level(region, out.w, out.h, img->level_w, img->level_h);
        at = region_at_level(region, level, img->level_w[static_cast<std::size_t>(level)],
                             img->level_h[static_cast<std::size_t>(level)]);
    }
    // Large views wait for one of a few slots, so that many at once cannot exhaust
    // memory; tiles never wait.
    LargeRenderSlot slot(large_renders_,
                         out.w * out.h > kLargeOutputPixels || at.w * at.h > kLargeOutputPixels);
    {
        std::lock_guard lock(library_);
        // The same file identity as above: the same open image, unless it was evicted.
        OpenImage *img = store_.get(*file, &why);
        pixels = img == nullptr ? std::nullopt : store_.read(*img, level, at, &why);
        if (!pixels) {
            return refuse(why);
        }
    }
    Pixels p = area_average(*pixels, static_cast<int>(out.w), static_cast<int>(out.h));
    pixels.reset();
    const Quality q = iiif != nullptr ? iiif->quality : Quality::Default;
    bool one_bit = false;
    if (iiif != nullptr) {
        p = orient(p, iiif->mirror, iiif->rotation);
    }
    if (q == Quality::Gray) {
        p = to_gray(p);
    } else if (q == Quality::Bitonal) {
        p = to_bitonal(p);
        one_bit = true;
    }
    const bool png = iiif != nullptr && iiif->format == Format::Png;
    std::string err;
    auto body = png ? encode_png(p, one_bit, &err) : encode_jpeg(p, config_.quality, &err);
    if (!body) {
        return refuse({Refusal::InternalError, err});
    }
    auto cached = std::make_shared<CachedResponse>(
        CachedResponse{std::move(*body), png ? "image/png" : "image/jpeg"});
    if (cached->body.size() <= kMaxCachedResponse) {
        cache_.put(etag, cached);
    }
    Reply r;
    r.body = cached->body;
    r.content_type = cached->content_type;
    r.etag = etag;
    r.max_age = kTileMaxAgeSeconds;
    return r;
}

} // namespace r64serve

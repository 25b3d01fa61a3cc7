// Parsing request targets into routes. Pure: no file system, no state; every malformed
// form becomes a Failure whose refusal the status table maps to a 4xx.
#include "request.h"

#include <charconv>
#include <limits>
#include <vector>

#include "serve_limits.h"

namespace r64serve {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p == std::string_view::npos ? p : p - start));
        if (p == std::string_view::npos) {
            return parts;
        }
        start = p + 1;
    }
}

// A whole non-negative decimal integer, digits only.
bool parse_count(std::string_view s, long &v) {
    if (s.empty() || s.size() > 9) { // nine digits: far above any picture, no overflow
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    std::from_chars(s.data(), s.data() + s.size(), v);
    return true;
}

// A non-negative decimal number: digits with at most one point, no sign or exponent.
bool parse_decimal(std::string_view s, double &v) {
    if (s.empty() || s.size() > 32 || s.front() == '.' || s.back() == '.') {
        return false;
    }
    int points = 0;
    for (char c : s) {
        if (c == '.') {
            ++points;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    if (points > 1) {
        return false;
    }
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

bool parse_four(std::string_view s, long out[4]) {
    const auto parts = split(s, ',');
    if (parts.size() != 4) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (!parse_count(parts[static_cast<std::size_t>(i)], out[i])) {
            return false;
        }
    }
    return true;
}

Failure fail(Refusal r, std::string detail) {
    return Failure{r, std::move(detail)};
}

// An image name: one raw segment, decoded. Names that could leave the folder are
// refused again by the resolver; here only what is not a name at all.
bool decode_name(std::string_view raw, std::string &name) {
    if (raw.empty() || !percent_decode(raw, name) || name.empty() || name.size() > kMaxNameBytes) {
        return false;
    }
    return name.find('\0') == std::string::npos;
}

Route parse_image(const std::string &name, const std::vector<std::string_view> &seg) {
    std::string region_s, size_s, rotation_s, last_s;
    if (!percent_decode(seg[0], region_s) || !percent_decode(seg[1], size_s) ||
        !percent_decode(seg[2], rotation_s) || !percent_decode(seg[3], last_s)) {
        return fail(Refusal::UnknownPath, "bad escape in the image request");
    }
    IiifImage out;
    out.name = name;
    if (!parse_region(region_s, out.image.region)) {
        return fail(Refusal::BadRegion, "region '" + region_s + "'");
    }
    if (!parse_size(size_s, out.image.size)) {
        return fail(Refusal::BadSize, "size '" + size_s + "'");
    }
    if (!parse_rotation(rotation_s, out.image.mirror, out.image.rotation)) {
        return fail(Refusal::BadRotation, "rotation '" + rotation_s + "'");
    }
    const std::size_t dot = last_s.rfind('.');
    if (dot == std::string::npos) {
        return fail(Refusal::BadFormat, "no format in '" + last_s + "'");
    }
    const std::string quality = last_s.substr(0, dot);
    const std::string format = last_s.substr(dot + 1);
    if (quality == "default") {
        out.image.quality = Quality::Default;
    } else if (quality == "color") {
        out.image.quality = Quality::Color;
    } else if (quality == "gray") {
        out.image.quality = Quality::Gray;
    } else if (quality == "bitonal") {
        out.image.quality = Quality::Bitonal;
    } else {
        return fail(Refusal::BadQuality, "quality '" + quality + "'");
    }
    if (format == "jpg") {
        out.image.format = Format::Jpeg;
    } else if (format == "png") {
        out.image.format = Format::Png;
    } else {
        return fail(Refusal::BadFormat, "format '" + format + "'");
    }
    out.canonical = region_s + "/" + size_s + "/" + rotation_s + "/" + last_s;
    return out;
}

Route parse_dz(std::string_view rest) {
    // NAME.dzi or NAME_files/LEVEL/COL_ROW.jpg
    const auto seg = split(rest, '/');
    std::string name;
    if (seg.size() == 1) {
        constexpr std::string_view ext = ".dzi";
        if (seg[0].size() <= ext.size() || !seg[0].ends_with(ext) ||
            !decode_name(seg[0].substr(0, seg[0].size() - ext.size()), name)) {
            return fail(Refusal::UnknownPath, "not a Deep Zoom descriptor");
        }
        return DziInfo{name};
    }
    constexpr std::string_view files = "_files";
    long level = 0, col = 0, row = 0;
    if (seg.size() != 3 || seg[0].size() <= files.size() || !seg[0].ends_with(files) ||
        !decode_name(seg[0].substr(0, seg[0].size() - files.size()), name) ||
        !parse_count(seg[1], level) || level > 64 || !seg[2].ends_with(".jpg")) {
        return fail(Refusal::UnknownPath, "not a Deep Zoom tile");
    }
    const auto cr = split(seg[2].substr(0, seg[2].size() - 4), '_');
    if (cr.size() != 2 || !parse_count(cr[0], col) || !parse_count(cr[1], row)) {
        return fail(Refusal::UnknownPath, "not a Deep Zoom tile");
    }
    return DziTile{name, static_cast<int>(level), col, row};
}

} // namespace

bool percent_decode(std::string_view in, std::string &out) {
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out.push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) {
            return false;
        }
        const int hi = hex_value(in[i + 1]);
        const int lo = hex_value(in[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool parse_region(std::string_view s, Region &r) {
    r = Region{};
    if (s == "full") {
        return true;
    }
    if (s == "square") {
        r.kind = Region::Kind::Square;
        return true;
    }
    if (s.starts_with("pct:")) {
        const auto parts = split(s.substr(4), ',');
        r.kind = Region::Kind::Percent;
        return parts.size() == 4 && parse_decimal(parts[0], r.px) &&
               parse_decimal(parts[1], r.py) && parse_decimal(parts[2], r.pw) &&
               parse_decimal(parts[3], r.ph) && r.pw > 0 && r.ph > 0;
    }
    long v[4];
    if (!parse_four(s, v) || v[2] == 0 || v[3] == 0) {
        return false;
    }
    r.kind = Region::Kind::Pixels;
    r.x = v[0], r.y = v[1], r.w = v[2], r.h = v[3];
    return true;
}

bool parse_size(std::string_view s, Size &z) {
    z = Size{};
    if (s.starts_with('^')) {
        z.upscale = true;
        s.remove_prefix(1);
    }
    if (s == "max") {
        return true;
    }
    if (s.starts_with("pct:")) {
        z.kind = Size::Kind::Percent;
        return parse_decimal(s.substr(4), z.pct) && z.pct > 0;
    }
    bool confined = false;
    if (s.starts_with('!')) {
        confined = true;
        s.remove_prefix(1);
    }
    const auto parts = split(s, ',');
    if (parts.size() != 2) {
        return false;
    }
    const bool has_w = !parts[0].empty();
    const bool has_h = !parts[1].empty();
    if ((has_w && (!parse_count(parts[0], z.w) || z.w == 0)) ||
        (has_h && (!parse_count(parts[1], z.h) || z.h == 0))) {
        return false;
    }
    if (confined) {
        z.kind = Size::Kind::Confined;
        return has_w && has_h;
    }
    z.kind = has_w && has_h ? Size::Kind::Exact : has_w ? Size::Kind::Width : Size::Kind::Height;
    return has_w || has_h;
}

bool parse_rotation(std::string_view s, bool &mirror, int &degrees) {
    mirror = s.starts_with('!');
    if (mirror) {
        s.remove_prefix(1);
    }
    // Whole multiples of 90; a decimal form such as 90.0 names the same rotation.
    double v = 0;
    if (!parse_decimal(s, v)) {
        return false;
    }
    for (int d : {0, 90, 180, 270}) {
        if (v == d) {
            degrees = d;
            return true;
        }
    }
    return false;
}

Route parse_target(std::string_view target) {
    const std::size_t q = target.find_first_of("?#");
    std::string_view path = target.substr(0, q);
    if (path.empty() || path.front() != '/') {
        return fail(Refusal::UnknownPath, "not an origin-form target");
    }
    path.remove_prefix(1);
    if (path.empty()) {
        return IndexPage{};
    }
    std::string name;
    if (path.starts_with("view/")) {
        if (!decode_name(path.substr(5), name) || path.substr(5).find('/') != std::string::npos) {
            return fail(Refusal::UnknownPath, "not an image name");
        }
        return ViewerPage{name};
    }
    if (path.starts_with("osd/")) {
        return Asset{std::string(path.substr(4))};
    }
    if (path.starts_with("dz/")) {
        return parse_dz(path.substr(3));
    }
    if (!path.starts_with("iiif/3/")) {
        return fail(Refusal::UnknownPath, "no such page");
    }
    const auto seg = split(path.substr(7), '/');
    if (!decode_name(seg[0], name)) {
        return fail(Refusal::UnknownPath, "not an image name");
    }
    if (seg.size() == 1 || (seg.size() == 2 && seg[1].empty())) {
        return IiifBase{name};
    }
    if (seg.size() == 2 && seg[1] == "info.json") {
        return IiifInfo{name};
    }
    if (seg.size() == 5) {
        return parse_image(name, {seg.begin() + 1, seg.end()});
    }
    return fail(Refusal::UnknownPath, "not an IIIF request");
}

} // namespace r64serve

// The index page (one row per image: thumbnail, type, size, levels, file size, linking
// to its viewer) and the viewer page (the vendored zoomable viewer on the image's IIIF
// service, with its navigator and a small facts panel). Everything it loads is served by
// this server: it works with no network.
#include "pages.h"

#include "service.h"

namespace r64serve {
namespace {

std::string type_words(char type, bool is_cr) {
    if (is_cr) {
        return "cr (colour)";
    }
    switch (type) {
    case 'G':
        return "r64 G (grey)";
    case 'B':
        return "r64 B (1-bit)";
    default:
        return "r64 P (colour)";
    }
}

std::string bytes_words(std::int64_t n) {
    char buf[32];
    if (n >= 1024 * 1024) {
        std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(n) / (1024.0 * 1024.0));
    } else if (n >= 1024) {
        std::snprintf(buf, sizeof buf, "%.1f KB", static_cast<double>(n) / 1024.0);
    } else {
        std::snprintf(buf, sizeof buf, "%lld bytes", static_cast<long long>(n));
    }
    return buf;
}

constexpr char kStyle[] =
    "body{font-family:sans-serif;margin:2em;color:#222}"
    "table{border-collapse:collapse}td,th{padding:.4em .8em;border-bottom:1px solid #ddd;"
    "text-align:left;vertical-align:middle}img{display:block;max-width:128px;max-height:128px}";

} // namespace

std::string index_html(const std::vector<IndexEntry> &entries) {
    std::string h = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>r64tool serve"
                    "</title><style>";
    h += kStyle;
    h += "</style></head><body><h1>Images</h1>\n";
    if (entries.empty()) {
        h += "<p>No .r64 or .cr files in this folder.</p>\n";
    } else {
        h += "<table><tr><th></th><th>name</th><th>type</th><th>size</th><th>levels</th>"
             "<th>file</th></tr>\n";
    }
    for (const IndexEntry &e : entries) {
        const std::string enc = url_encode(e.name);
        const std::string name = html_escape(e.name);
        if (!e.ok) {
            h += "<tr><td></td><td>" + name +
                 "</td><td colspan=\"4\">cannot be read: " + html_escape(e.problem) +
                 "</td></tr>\n";
            continue;
        }
        h += "<tr><td><a href=\"/view/" + enc + "\"><img alt=\"\" loading=\"lazy\" src=\"/iiif/3/" +
             enc + "/full/!128,128/0/default.jpg\"></a></td><td><a href=\"/view/" + enc + "\">" +
             name + "</a></td><td>" + type_words(e.type, e.is_cr) + "</td><td>" +
             std::to_string(e.width) + " x " + std::to_string(e.height) + "</td><td>" +
             std::to_string(e.levels) + "</td><td>" + bytes_words(e.file_size) + "</td></tr>\n";
    }
    if (!entries.empty()) {
        h += "</table>\n";
    }
    h += "</body></html>\n";
    return h;
}

std::string viewer_html(const ViewerFacts &v, const std::string &info_url) {
    const std::string name = html_escape(v.name);
    std::string h =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + name +
        "</title><style>html,body{margin:0;height:100%;background:#111;overflow:hidden}"
        "#viewer{position:absolute;inset:0}"
        "#facts{position:absolute;left:8px;bottom:8px;z-index:10;padding:6px 10px;"
        "font:13px sans-serif;color:#eee;background:rgba(0,0,0,.6);border-radius:4px}"
        "#facts a{color:#9cf}</style></head><body>\n"
        "<div id=\"viewer\"></div>\n<div id=\"facts\"><a href=\"/\">images</a> &middot; <b>" +
        name + "</b><br>" + type_words(v.type, v.is_cr) + " &middot; " + std::to_string(v.width) +
        " x " + std::to_string(v.height) + " &middot; " + std::to_string(v.levels) +
        " levels &middot; tile " + std::to_string(v.tile) + " &middot; " +
        bytes_words(v.file_size) +
        "</div>\n<script src=\"/osd/openseadragon.min.js\"></script>\n<script>\n"
        "var viewer = OpenSeadragon({id: 'viewer', prefixUrl: '/osd/images/',\n"
        "  tileSources: '" +
        json_escape(info_url) +
        "', showNavigator: true, navigatorPosition: 'TOP_RIGHT',\n"
        "  showZoomControl: true, showHomeControl: true, showFullPageControl: true,\n"
        "  autoHideControls: false, drawer: 'canvas', animationTime: 0.5});\n"
        "// A window resized while the page loads (as headless browsers do) must re-lay\n"
        "// the canvas, not stretch it.\n"
        "window.addEventListener('resize', function () { viewer.forceResize(); });\n"
        "viewer.addHandler('open', function () { viewer.forceResize(); });\n"
        "viewer.addHandler('open-failed', function (e) {\n"
        "  document.getElementById('facts').textContent = 'cannot open: ' + e.message; });\n"
        "</script></body></html>\n";
    return h;
}

} // namespace r64serve

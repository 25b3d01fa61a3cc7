// serve: the command line of the tile server; everything else lives beside this file
// (request parsing, name resolution, rendering, HTTP glue, pages, limits).
#include <thread>

#include "../cli.h"
#include "../commands.h"
#include "http_glue.h"
#include "serve_limits.h"

namespace r64tool {

const char kServeHelp[] =
    "usage: r64tool serve DIR [--bind 127.0.0.1] [--port 8080] [--workers N] [--cache-mb 256]\n"
    "                         [--quality 80] [--max-area 16777216] [--base-url URL]\n"
    "\n"
    "Serves every .r64 and .cr file under DIR, read-only, named by its path relative to DIR\n"
    "without the extension (sub/photo.r64 is sub%2Fphoto in URLs; where an r64 and a cr file\n"
    "share a name both keep their extension):\n"
    "\n"
    "  /                                  the images, with thumbnails\n"
    "  /view/NAME                         a zoomable viewer\n"
    "  /iiif/3/NAME/info.json             IIIF Image API 3.0, level 2\n"
    "  /iiif/3/NAME/REGION/SIZE/ROTATION/QUALITY.FORMAT\n"
    "  /dz/NAME.dzi, /dz/NAME_files/LEVEL/COL_ROW.jpg   Deep Zoom\n"
    "\n"
    "  --bind ADDR      address to listen on (default 127.0.0.1, this machine only)\n"
    "  --port N         port (default 8080; 0 picks a free one, printed at start)\n"
    "  --workers N      worker processes (default: the number of cores)\n"
    "  --cache-mb N     memory for encoded tiles, shared out between workers (default 256)\n"
    "  --quality N      JPEG quality 1 to 100 (default 80)\n"
    "  --max-area N     largest output in pixels (default 16777216)\n"
    "  --base-url URL   scheme and host that clients reach the server by, when it sits\n"
    "                   behind a proxy or CDN (default: from each request's Host)\n"
    "\n"
    "One access-log line per request on standard error: method, target, status, bytes,\n"
    "milliseconds and the reason of a refusal. SIGINT or SIGTERM stop it after the requests\n"
    "in flight.\n";

int cmd_serve(int argc, char **argv) {
    Args args(
        argc, argv,
        {"--bind", "--port", "--workers", "--cache-mb", "--quality", "--max-area", "--base-url"},
        {});
    if (args.help_asked()) {
        std::fputs(kServeHelp, stdout);
        return 0;
    }
    if (args.positional().size() != 1) {
        fail("", "expects the folder to serve (see --help)");
    }
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    r64serve::ServeOptions o;
    o.service.dir = args.positional()[0];
    o.bind = args.value("--bind").value_or("127.0.0.1");
    o.port = args.int_value("--port", 8080, 0, 65535);
    o.workers = args.int_value("--workers", cores, 1, 256);
    const int cache_mb = args.int_value("--cache-mb", r64serve::kDefaultCacheMb, 0, 1 << 20);
    o.service.cache_bytes =
        static_cast<std::size_t>(cache_mb) * 1024 * 1024 / static_cast<std::size_t>(o.workers);
    o.service.quality = args.int_value("--quality", r64serve::kDefaultQuality, 1, 100);
    const auto area = args.value("--max-area");
    o.service.max_area = r64serve::kDefaultMaxArea;
    if (area) {
        const auto v = parse_int(*area);
        if (!v || *v < 1) {
            fail("--max-area", "expects a positive number of pixels");
        }
        o.service.max_area = *v;
    }
    o.service.base_url = args.value("--base-url").value_or("");
    while (!o.service.base_url.empty() && o.service.base_url.back() == '/') {
        o.service.base_url.pop_back();
    }
    return r64serve::run_server(o);
}

} // namespace r64tool

// Every limit of r64tool serve in one place, each with the reason for its value. The
// request-line and header limits are the HTTP library's own (compiled into it); they are
// repeated here so that the help text and the tests state them.
#ifndef R64TOOL_SERVE_LIMITS_H
#define R64TOOL_SERVE_LIMITS_H

#include <cstddef>
#include <ctime>

namespace r64serve {

// Longest request target the HTTP library accepts (longer ones get 414): IIIF URLs are
// under 200 bytes, so this only stops abuse.
constexpr std::size_t kMaxRequestTarget = 8192;
// Longest header line the HTTP library accepts: browsers send well under 8 KiB.
constexpr std::size_t kMaxHeaderLine = 8192;
// Longest image name, in bytes after percent-decoding: PATH_MAX-sized names are
// allowed by file systems but a name this long only stresses the resolver.
constexpr std::size_t kMaxNameBytes = 1024;
// Request bodies: none of our methods takes one.
constexpr std::size_t kMaxBodyBytes = 0;
// Default output bound in pixels (16 megapixels: a 4096x4096 view, some 48 MB of RGB
// before encoding).
constexpr long kDefaultMaxArea = 16L * 1024 * 1024;
// Views above this many pixels (read or written) take one of kMaxLargeRenders slots
// of their worker: a 4096x4096 view holds some 100 MB while it is made, so a burst of
// them waits instead of exhausting memory. One megapixel is sixteen 256-pixel tiles.
constexpr long kLargeOutputPixels = 1L << 20;
constexpr std::ptrdiff_t kMaxLargeRenders = 2;
// Widest and tallest output declared in info.json: the largest picture r64 stores, and
// below the JPEG limit of 65500.
constexpr int kMaxOutputEdge = 32767;
// Idle keep-alive connections and slow clients are dropped after these many seconds:
// long enough for a viewer that pauses between pans, short enough that idle
// connections do not pin threads.
constexpr std::time_t kKeepAliveSeconds = 5;
constexpr std::time_t kReadTimeoutSeconds = 5;
constexpr std::time_t kWriteTimeoutSeconds = 10;
// Requests one connection may send before it is closed: high, so that benchmarks and
// viewers keep their connections, but finite, so load spreads between workers.
constexpr std::size_t kKeepAliveMaxRequests = 10000;
// Threads of one worker: each open keep-alive connection holds one, so this is about
// the connections a worker serves at once (a browser opens six; load tests 64).
constexpr std::size_t kThreadsPerWorker = 64;
// Open image handles a worker keeps: an r64 handle holds about 4 MB of tile buffers.
constexpr std::size_t kMaxOpenImages = 16;
// Images listed on the index page: the page stays small even for a large folder.
constexpr std::size_t kMaxIndexEntries = 1000;
// Default cache of encoded tiles for the whole server, shared out between workers.
constexpr int kDefaultCacheMb = 256;
// Responses larger than this are not cached: one huge view must not flush the tiles.
constexpr std::size_t kMaxCachedResponse = 4u * 1024 * 1024;
// Browser and CDN caching: tiles and info of an unchanged file stay valid (the ETag
// changes with the file); pages list files that come and go, so they age quickly.
constexpr int kTileMaxAgeSeconds = 86400;
constexpr int kPageMaxAgeSeconds = 10;
// Tile edge advertised to viewers: four r64 tiles, one full-size cr tile; a request of
// this size costs one round trip where 64-pixel tiles would cost sixteen.
constexpr int kServedTileEdge = 256;
// Deep Zoom tile edge, as announced in the .dzi.
constexpr int kDeepZoomTileEdge = 256;
// JPEG quality when --quality is not given.
constexpr int kDefaultQuality = 80;

} // namespace r64serve

#endif

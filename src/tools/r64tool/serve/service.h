// The server's behaviour without HTTP: a route and a few request headers in, a reply
// (status, body, caching headers) out. Owns the catalog, the open images, the library
// mutex (every library call of the process goes through it) and the response cache.
#ifndef R64TOOL_SERVE_SERVICE_H
#define R64TOOL_SERVE_SERVICE_H

#include <mutex>
#include <semaphore>
#include <string>

#include "catalog.h"
#include "image_store.h"
#include "request.h"
#include "response_cache.h"
#include "serve_limits.h"

namespace r64serve {

struct ServiceConfig {
    std::string dir;
    std::string base_url; // empty: from the request's Host
    long max_area = 0;
    int quality = 80;
    std::size_t cache_bytes = 0;
};

struct RequestContext {
    std::string host;          // the Host header
    std::string accept;        // the Accept header
    std::string if_none_match; // the If-None-Match header
};

struct Reply {
    int status = 200;
    std::string body;
    std::string content_type;
    std::string etag;     // empty: none
    int max_age = 0;      // Cache-Control max-age when status is 200 or 304
    std::string location; // for redirects
    std::string detail;   // the reason of a refusal, for the log
};

class Service {
  public:
    explicit Service(const ServiceConfig &config);
    Reply handle(const Route &route, const RequestContext &ctx);
    // A reply for a refusal: its status from the table, a short text body.
    static Reply refuse(const Failure &f);

  private:
    struct ImageFacts {
        ResolvedFile file;
        char type = 'P';
        int width = 0, height = 0, tile = 0;
        std::vector<int> level_w, level_h;
    };
    std::optional<ImageFacts> facts(const std::string &name, Failure *why);
    std::string base_url(const RequestContext &ctx) const;
    Reply index(const RequestContext &ctx);
    Reply viewer(const std::string &name);
    Reply info_json(const std::string &name, const RequestContext &ctx);
    Reply dzi(const std::string &name);
    // Reads the region at the best level, resamples, orients, converts and encodes.
    Reply render(const std::string &name, const std::string &key_suffix, const RequestContext &ctx,
                 const ImageRequest *iiif, const DziTile *dz);

    ServiceConfig config_;
    OutputLimits limits_;
    Catalog catalog_;
    std::mutex library_; // held for every library call
    ImageStore store_;
    ResponseCache cache_;
    std::counting_semaphore<> large_renders_{kMaxLargeRenders};
};

// Holds one of the large-render slots while it lives, when asked to.
class LargeRenderSlot {
  public:
    LargeRenderSlot(std::counting_semaphore<> &s, bool large) : s_(large ? &s : nullptr) {
        if (s_ != nullptr) {
            s_->acquire();
        }
    }
    ~LargeRenderSlot() {
        if (s_ != nullptr) {
            s_->release();
        }
    }
    LargeRenderSlot(const LargeRenderSlot &) = delete;
    LargeRenderSlot &operator=(const LargeRenderSlot &) = delete;

  private:
    std::counting_semaphore<> *s_;
};

// Percent-encodes everything but unreserved characters (an image name in a URL).
std::string url_encode(const std::string &s);
std::string html_escape(const std::string &s);
std::string json_escape(const std::string &s);

} // namespace r64serve

#endif

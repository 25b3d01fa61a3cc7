// An LRU of encoded responses of one worker, bounded in bytes, keyed by the ETag (which
// holds the file's identity, so a changed file never hits an old entry). Thread-safe:
// its own mutex, never held while the library or an encoder works.
#ifndef R64TOOL_SERVE_RESPONSE_CACHE_H
#define R64TOOL_SERVE_RESPONSE_CACHE_H

#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace r64serve {

struct CachedResponse {
    std::string body;
    std::string content_type;
};

class ResponseCache {
  public:
    explicit ResponseCache(std::size_t max_bytes) : max_bytes_(max_bytes) {}
    std::shared_ptr<const CachedResponse> find(const std::string &key);
    void put(const std::string &key, std::shared_ptr<const CachedResponse> value);

  private:
    using Entry = std::pair<std::string, std::shared_ptr<const CachedResponse>>;
    std::mutex mutex_;
    std::size_t max_bytes_;
    std::size_t bytes_ = 0;
    std::list<Entry> lru_; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

} // namespace r64serve

#endif

// The encoded-response LRU: a list in use order and a hash index into it.
#include "response_cache.h"

namespace r64serve {

std::shared_ptr<const CachedResponse> ResponseCache::find(const std::string &key) {
    std::lock_guard lock(mutex_);
    const auto it = index_.find(key);
    if (it == index_.end()) {
        return nullptr;
    }
    lru_.splice(lru_.begin(), lru_, it->second);
    return it->second->second;
}

void ResponseCache::put(const std::string &key, std::shared_ptr<const CachedResponse> value) {
    const std::size_t size = key.size() + value->body.size() + value->content_type.size();
    if (size > max_bytes_) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (index_.count(key) != 0) {
        return;
    }
    lru_.emplace_front(key, std::move(value));
    index_[key] = lru_.begin();
    bytes_ += size;
    while (bytes_ > max_bytes_ && !lru_.empty()) {
        const Entry &last = lru_.back();
        bytes_ -= last.first.size() + last.second->body.size() + last.second->content_type.size();
        index_.erase(last.first);
        lru_.pop_back();
    }
}

} // namespace r64serve

// The HTML pages: the index of the served images and the full-window viewer.
#ifndef R64TOOL_SERVE_PAGES_H
#define R64TOOL_SERVE_PAGES_H

#include <cstdint>
#include <string>
#include <vector>

namespace r64serve {

struct IndexEntry {
    std::string name;
    bool is_cr = false;
    bool ok = false;
    std::string problem; // why it could not be opened
    char type = 'P';
    int width = 0, height = 0, levels = 0;
    std::int64_t file_size = 0;
};

struct ViewerFacts {
    std::string name;
    std::int64_t file_size = 0;
    char type = 'P';
    int width = 0, height = 0, levels = 0, tile = 0;
    bool is_cr = false;
};

std::string index_html(const std::vector<IndexEntry> &entries);
std::string viewer_html(const ViewerFacts &v, const std::string &info_url);

} // namespace r64serve

#endif

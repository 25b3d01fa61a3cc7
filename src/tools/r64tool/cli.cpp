// Option parsing and error reporting of r64tool; the library's error codes in words.
#include "cli.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include "r64/r64.h"

namespace r64tool {

void fail(const std::string &subject, const std::string &reason) {
    throw ToolError{subject, reason};
}

std::string r64_error_words(int code) {
    return r64_strerror(code);
}

void fail_lib(const std::string &subject, const std::string &what) {
    const int code = r64_error;
    std::string reason = what + ": " + r64_error_words(code);
    if (code == R64_ERR_IO && errno != 0) {
        reason += " (" + std::string(std::strerror(errno)) + ")";
    }
    reason += " [r64_error " + std::to_string(code) + "]";
    fail(subject, reason);
}

std::optional<long> parse_int(const std::string &s) {
    long v = 0;
    const char *end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, v);
    if (s.empty() || ec != std::errc() || p != end) {
        return std::nullopt;
    }
    return v;
}

Args::Args(int argc, char **argv, const std::set<std::string> &valued,
           const std::set<std::string> &flags) {
    bool only_positional = false;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (only_positional || a.size() < 2 || a[0] != '-') {
            positional_.push_back(a);
            continue;
        }
        if (a == "--") {
            only_positional = true;
            continue;
        }
        if (a == "-h" || a == "--help") {
            help_ = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> inline_value;
        if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            inline_value = a.substr(eq + 1);
        }
        if (flags.count(name) != 0 && !inline_value) {
            options_[name] = "";
        } else if (valued.count(name) != 0) {
            if (inline_value) {
                options_[name] = *inline_value;
            } else if (i + 1 < argc) {
                options_[name] = argv[++i];
            } else {
                fail(name, "needs a value");
            }
        } else {
            fail(name, "unknown option (see --help)");
        }
    }
}

std::optional<std::string> Args::value(const std::string &name) const {
    const auto it = options_.find(name);
    if (it == options_.end()) {
        return std::nullopt;
    }
    return it->second;
}

int Args::int_value(const std::string &name, int fallback, int lo, int hi) const {
    const auto v = value(name);
    if (!v) {
        return fallback;
    }
    const auto n = parse_int(*v);
    if (!n || *n < lo || *n > hi) {
        fail(name, "expects a whole number from " + std::to_string(lo) + " to " +
                       std::to_string(hi) + ", not '" + *v + "'");
    }
    return static_cast<int>(*n);
}

} // namespace r64tool

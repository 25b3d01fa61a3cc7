// Command-line plumbing shared by the r64tool commands: option parsing, number
// parsing, and the one way errors leave a command (a ToolError caught by main, which
// prints it to standard error with the file name and exits with status 1).
#ifndef R64TOOL_CLI_H
#define R64TOOL_CLI_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace r64tool {

// A failure of a command: what it concerns (usually a file name) and why, in words.
struct ToolError {
    std::string subject;
    std::string reason;
};

[[noreturn]] void fail(const std::string &subject, const std::string &reason);
// A failure of a library call: `what` is the step that failed; the reason is the
// library's error code in words, the code itself, and the system's reason for -1.
[[noreturn]] void fail_lib(const std::string &subject, const std::string &what);
std::string r64_error_words(int code);

// Positional arguments and --name value (or --name=value) options of one command.
class Args {
  public:
    // valued: options that take a value; flags: options that do not. --help is handled
    // by the caller through help_asked().
    Args(int argc, char **argv, const std::set<std::string> &valued,
         const std::set<std::string> &flags);

    bool help_asked() const { return help_; }
    const std::vector<std::string> &positional() const { return positional_; }
    bool has(const std::string &name) const { return options_.count(name) != 0; }
    std::optional<std::string> value(const std::string &name) const;
    // An integer option within [lo, hi], or fallback when absent.
    int int_value(const std::string &name, int fallback, int lo, int hi) const;

  private:
    bool help_ = false;
    std::vector<std::string> positional_;
    std::map<std::string, std::string> options_;
};

// Parses a whole string as a decimal integer.
std::optional<long> parse_int(const std::string &s);

} // namespace r64tool

#endif

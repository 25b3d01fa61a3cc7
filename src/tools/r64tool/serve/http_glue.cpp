// Binding, forking workers and the HTTP library's plumbing. Every request goes through
// the pre-routing handler (routing is done on the raw target by parse_target), so the
// library only parses HTTP. The access log is one line per request on standard error:
// METHOD TARGET STATUS BYTES MILLISECONDS DETAIL.
#include "http_glue.h"

#include <csignal>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include <httplib.h>

#include "../cli.h"
#include "../handles.h"
#include "serve_limits.h"

namespace r64serve {
namespace {

using Clock = std::chrono::steady_clock;

// Per request, on the thread that serves it: when it started and why it was refused.
thread_local Clock::time_point t_started;
thread_local bool t_routed = false;
thread_local std::string t_detail;

// Control characters and (in fields) spaces become '?': one line, space-separated.
std::string printable(const std::string &s, std::size_t max, bool spaces = false) {
    std::string out;
    for (char c : s.substr(0, max)) {
        out += ((c > 0x20 || (spaces && c == ' ')) && c < 0x7f && c != '"') ? c : '?';
    }
    return out.empty() ? "-" : out;
}

void log_line(const httplib::Request &req, const httplib::Response &res) {
    const long long ms =
        t_routed ? std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t_started)
                       .count()
                 : 0;
    const std::size_t bytes = req.method == "HEAD" ? 0 : res.body.size();
    std::string detail = t_detail.empty() ? "-" : "\"" + printable(t_detail, 300, true) + "\"";
    char line[1024];
    const int n = std::snprintf(
        line, sizeof line, "%s %s %d %zu %lld %s\n", printable(req.method, 16).c_str(),
        printable(req.target, 400).c_str(), res.status, bytes, ms, detail.c_str());
    // One write per line: lines of several workers never interleave.
    if (n > 0) {
        const ssize_t w = ::write(STDERR_FILENO, line, std::min<std::size_t>(n, sizeof line - 1));
        (void)w;
    }
    t_routed = false;
    t_detail.clear();
}

void answer(const Reply &r, httplib::Response &res) {
    res.status = r.status;
    if (!r.etag.empty()) {
        res.set_header("ETag", r.etag);
    }
    if ((r.status == 200 || r.status == 304) && r.max_age > 0) {
        res.set_header("Cache-Control", "public, max-age=" + std::to_string(r.max_age));
    } else if (r.status >= 400) {
        res.set_header("Cache-Control", "no-store");
    }
    if (!r.location.empty()) {
        res.set_header("Location", r.location);
    }
    if (r.status != 304) {
        res.set_content(r.body, r.content_type.empty() ? "text/plain" : r.content_type.c_str());
    }
    t_detail = r.detail;
}

httplib::Server::HandlerResponse route(Service &service, const httplib::Request &req,
                                       httplib::Response &res) {
    t_started = Clock::now();
    t_routed = true;
    res.set_header("Access-Control-Allow-Origin", "*");
    if (req.method == "OPTIONS") {
        res.status = 204;
        res.set_header("Access-Control-Allow-Methods", "GET, HEAD, OPTIONS");
        res.set_header("Access-Control-Allow-Headers", "*");
        res.set_header("Access-Control-Max-Age", "86400");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
        res.set_header("Allow", "GET, HEAD, OPTIONS");
        // The body, if any, is not read: the connection cannot carry another request.
        res.set_header("Connection", "close");
        answer(Service::refuse({Refusal::MethodNotAllowed, req.method}), res);
        return httplib::Server::HandlerResponse::Handled;
    }
    RequestContext ctx{req.get_header_value("Host"), req.get_header_value("Accept"),
                       req.get_header_value("If-None-Match")};
    try {
        answer(service.handle(parse_target(req.target), ctx), res);
    } catch (const std::exception &e) {
        answer(Service::refuse({Refusal::InternalError, e.what()}), res);
    }
    return httplib::Server::HandlerResponse::Handled;
}

sigset_t stop_signals(bool with_child) {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    if (with_child) {
        sigaddset(&s, SIGCHLD);
    }
    return s;
}

// One worker: serves on the shared socket until SIGINT or SIGTERM, then lets the
// requests in flight finish.
int run_worker(httplib::Server &svr, const ServiceConfig &config) {
    std::signal(SIGPIPE, SIG_IGN); // a client gone mid-response is a failed write, not a death
    Service service(config);
    svr.set_pre_routing_handler([&service](const httplib::Request &req, httplib::Response &res) {
        return route(service, req, res);
    });
    svr.set_logger(log_line);
    sigset_t stops = stop_signals(false);
    std::atomic<bool> listening_ended{false};
    std::thread watcher([&svr, &listening_ended, stops] {
        int sig = 0;
        sigwait(&stops, &sig);
        // A signal may come before the listening loop runs; stop() only ends a running
        // loop, so wait for it to run (or to have ended).
        while (!listening_ended) {
            if (svr.is_running()) {
                svr.stop();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    svr.listen_after_bind();
    listening_ended = true;
    // The loop ended by itself: wake the watcher if it still waits for a signal.
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    return 0;
}

pid_t spawn(httplib::Server &svr, const ServiceConfig &config) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int status = 1;
        try {
            status = run_worker(svr, config);
        } catch (const r64tool::ToolError &e) {
            std::fprintf(stderr, "r64tool serve: %s: %s\n", e.subject.c_str(), e.reason.c_str());
        }
        std::fflush(nullptr);
        _exit(status);
    }
    if (pid < 0) {
        r64tool::fail("fork", std::strerror(errno));
    }
    return pid;
}

} // namespace

int run_server(const ServeOptions &options) {
    // Fails early, before binding, when the folder cannot be served.
    { Catalog check(options.service.dir); }
    r64tool::library_init();

    // Blocked from here on (workers inherit the mask): a stop signal sent as soon as the
    // start line is read waits for sigwait instead of killing the process.
    const sigset_t signals = stop_signals(true);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Created before any thread: the workers are forked from this process.
    httplib::Server svr;
    svr.new_task_queue = [] {
        // The HTTP library takes ownership of the queue it is handed.
        return new httplib::ThreadPool(kThreadsPerWorker);
    };
    svr.set_keep_alive_timeout(kKeepAliveSeconds);
    svr.set_keep_alive_max_count(kKeepAliveMaxRequests);
    svr.set_read_timeout(kReadTimeoutSeconds, 0);
    svr.set_write_timeout(kWriteTimeoutSeconds, 0);
    svr.set_payload_max_length(kMaxBodyBytes);
    svr.set_tcp_nodelay(true); // small tiles go out at once
    // The library listens with a backlog of 5, which drops connections under load; keep
    // its socket to listen again with the system's maximum.
    int listen_fd = -1;
    svr.set_socket_options([&listen_fd](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listen_fd = sock;
    });
    int port = options.port;
    if (port == 0) {
        port = svr.bind_to_any_port(options.bind);
        if (port < 0) {
            r64tool::fail(options.bind, "cannot listen on any port");
        }
    } else if (!svr.bind_to_port(options.bind, port)) {
        r64tool::fail(options.bind + ":" + std::to_string(port),
                      std::string("cannot listen: ") + std::strerror(errno));
    }
    if (listen_fd >= 0) {
        ::listen(listen_fd, SOMAXCONN);
    }
    const std::string host =
        options.bind.find(':') != std::string::npos ? "[" + options.bind + "]" : options.bind;
    std::printf("serving %s at http://%s:%d/ with %d worker%s\n", options.service.dir.c_str(),
                host.c_str(), port, options.workers, options.workers == 1 ? "" : "s");
    std::fflush(stdout);

    std::set<pid_t> workers;
    for (int i = 0; i < options.workers; ++i) {
        workers.insert(spawn(svr, options.service));
    }
    bool stopping = false;
    while (!workers.empty()) {
        int sig = 0;
        sigwait(&signals, &sig);
        if ((sig == SIGINT || sig == SIGTERM) && !stopping) {
            stopping = true;
            for (pid_t p : workers) {
                kill(p, SIGTERM);
            }
        }
        int status = 0;
        pid_t p;
        while ((p = waitpid(-1, &status, WNOHANG)) > 0) {
            workers.erase(p);
            if (!stopping && WIFSIGNALED(status)) {
                // A worker that died (it should not) is replaced; the others go on.
                std::fprintf(stderr,
                             "r64tool serve: worker %d ended (status %d); starting another\n",
                             static_cast<int>(p), status);
                workers.insert(spawn(svr, options.service));
            }
        }
    }
    return 0;
}

} // namespace r64serve

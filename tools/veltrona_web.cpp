// veltrona-web: one page for a running veltrona. It reaches the gateway only through the Data Hub's
// admin socket (list, push, watch) and, on a simulated board, the board's control socket; the page
// and its script are served from here, so the page needs no network beyond this program.
#include "datahub_admin.h"
#include "pa_path.h"
#include "pa_text.h"
#include "sim_control.h"
#include "tool_support.h"
#include "web_assets.h"

#include <httplib.h>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
void Usage(FILE* out)
{
    fprintf(out,
            "Usage: veltrona-web [options]\n"
            "Serves one page that shows a running veltrona's Data Hub live, edits its settings and,\n"
            "on a simulated board, moves the board's inputs.\n"
            "\n"
            "Options:\n"
            "  --runtime-dir DIR      runtime directory of veltrona (default $VELTRONA_RUNTIME_DIR\n"
            "                         or /tmp/veltrona-UID)\n"
            "  --listen HOST:PORT     where to serve (default 127.0.0.1:8080); on loopback a request\n"
            "                         must name a loopback host; on any other address every\n"
            "                         request needs the token written to <runtime dir>/web-token,\n"
            "                         shown once at the start\n"
            "  --timeout SECONDS      how long an answer of the gateway is waited for (default 5)\n"
            "  --help                 this text\n"
            "  --version              the program's version\n"
            "\n"
            "Open http://HOST:PORT/ (with #token=TOKEN away from loopback).\n"
            "Exit status: 0 stopped, 2 usage or the address cannot be served.\n");
}

struct Web
{
    std::string adminSocket;
    std::string controlSocket;
    std::string token;   // empty: loopback, no token asked for
    double timeout = 5;
};
Web Site;

// Each open event stream holds a thread of the server's pool, so their number is bounded below the
// pool's size: the page's other requests are always served.
constexpr int MaxStreams = 8;
constexpr size_t PoolThreads = MaxStreams + 8;
std::atomic<int> Streams{0};

// The lines of one admin or control exchange up to its end ("END", or the single answer line).
bool Ask(const std::string& socket, const std::string& request, bool untilEnd, std::vector<std::string>* lines,
         std::string* error)
{
    LineConnection conn;
    if (!conn.Open(socket, "the gateway", error)) return false;
    conn.Send(request);
    for (;;)
    {
        std::string line;
        int r = conn.ReadLine(&line, Site.timeout);
        if (r <= 0)
        {
            *error = r == 0 ? "the gateway did not answer in time" : "the gateway closed the connection";
            return false;
        }
        if (untilEnd && line == "END") return true;
        lines->push_back(line);
        if (!untilEnd || line.compare(0, 4, "ERR\t") == 0) return true;
    }
}

// The refusal's words from an "ERR<tab>reason" or "NOTKEPT<tab>reason" line.
std::string Reason(const std::string& line)
{
    size_t tab = line.find('\t');
    return tab == std::string::npos ? line : line.substr(tab + 1);
}

void Json(httplib::Response& res, int status, const std::string& body)
{
    res.status = status;
    res.set_content(body, "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& reason)
{
    Json(res, status, "{\"error\":" + dhub_JsonString(reason) + "}");
}

// An address of this machine only: 127.0.0.0/8, ::1 or "localhost" (not a name that merely
// starts with "127.").
bool Loopback(const std::string& host)
{
    struct in_addr v4;
    struct in6_addr v6;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
    return host == "localhost";
}

// The host a request was addressed to, without its port ("[::1]:8080" gives "::1").
std::string HostOf(const std::string& header)
{
    if (!header.empty() && header.front() == '[')
    {
        size_t close = header.find(']');
        return close == std::string::npos ? header : header.substr(1, close - 1);
    }
    return header.substr(0, header.find(':'));
}

// Safe by default: a token away from loopback (header, or the query for the event stream, which
// cannot carry headers), and a header of our own on every change, which no other site's page can
// send without the preflight this server never grants. On loopback a request must also be
// addressed to a loopback name: a page elsewhere whose name was made to resolve to 127.0.0.1 (DNS
// rebinding) is its own origin and could otherwise send that header.
bool Allowed(const httplib::Request& req, httplib::Response& res, bool changes)
{
    if (Site.token.empty() && !Loopback(HostOf(req.get_header_value("Host"))))
    {
        Fail(res, 403, "this page is served to loopback names only (127.0.0.1, localhost, [::1])");
        return false;
    }
    if (!Site.token.empty())
    {
        std::string given = req.has_header("X-Veltrona-Token") ? req.get_header_value("X-Veltrona-Token")
                                                                : (changes ? "" : req.get_param_value("token"));
        if (given != Site.token)
        {
            Fail(res, 401, "this page needs the token from the runtime directory's web-token");
            return false;
        }
    }
    if (changes && req.get_header_value("X-Veltrona") != "1")
    {
        Fail(res, 403, "a change must come from the page itself");
        return false;
    }
    return true;
}

void Resources(const httplib::Request& req, httplib::Response& res)
{
    if (!Allowed(req, res, false)) return;
    std::vector<std::string> lines;
    std::string error;
    if (!Ask(Site.adminSocket, "LIST", true, &lines, &error)) return Fail(res, 502, error);
    std::string body = "[";
    for (const std::string& line : lines)
    {
        std::vector<std::string> f = pa_text_Split(line, '\t');
        if (f.size() != 8 || f[0] != "RES" || f[2] == "placeholder") continue;
        body += (body.size() > 1 ? "," : "") + JsonRecord(f[1], f[2], f[3], f[4], f[5] != "none", Unescaped(f[6]), f[7]);
    }
    Json(res, 200, body + "]");
}

void Push(const httplib::Request& req, httplib::Response& res)
{
    if (!Allowed(req, res, true)) return;
    std::string path = req.get_param_value("path");
    std::string request = "PUSH\t" + path;
    if (req.has_param("value"))
    {
        std::vector<char> escaped(DHUB_TEXT_MAX);
        if (!dhub_Escape(req.get_param_value("value").c_str(), escaped.data(), escaped.size()))
        {
            return Fail(res, 400, "the value is too long");
        }
        request += "\t" + std::string(escaped.data());
    }
    if (path.empty() || path.find_first_of("\t\r\n") != std::string::npos) return Fail(res, 400, "no resource named");
    std::vector<std::string> lines;
    std::string error;
    if (!Ask(Site.adminSocket, request, false, &lines, &error)) return Fail(res, 502, error);
    if (lines[0] == "OK") return Json(res, 200, "{\"ok\":true}");
    Fail(res, lines[0].compare(0, 8, "NOTKEPT\t") == 0 ? 507 : 409, Reason(lines[0]));
}

// Every push as an event of the stream, a record like the list's; the stream ends when the gateway
// goes (the page's EventSource comes back by itself).
void Events(const httplib::Request& req, httplib::Response& res)
{
    if (!Allowed(req, res, false)) return;
    if (++Streams > MaxStreams)
    {
        --Streams;
        return Fail(res, 503, "too many pages are watching: at most " + std::to_string(MaxStreams));
    }
    auto conn = std::make_shared<LineConnection>();
    std::string error;
    std::string first;
    if (!conn->Open(Site.adminSocket, "the gateway", &error) || !conn->Send("WATCH") ||
        conn->ReadLine(&first, Site.timeout) != 1 || first != "OK")
    {
        --Streams;
        return Fail(res, 502, error.empty() ? "the gateway refused the watch: " + Reason(first) : error);
    }
    res.set_header("Cache-Control", "no-store");
    // The stream starts by asking the page to come back a second after it ends (not the browser's
    // 3 s). Then the watch is read a second at a time, and a quiet second is said as a comment: the
    // second write to a page that went away fails, which ends the stream and frees its thread.
    auto started = std::make_shared<bool>(false);
    res.set_chunked_content_provider("text/event-stream", [conn, started](size_t, httplib::DataSink& sink) {
        if (!sink.is_writable()) return false;
        if (!*started)
        {
            *started = true;
            return sink.write("retry: 1000\n\n", 13);
        }
        std::string line;
        int r = conn->ReadLine(&line, 1);
        if (r < 0) return false;
        std::vector<std::string> f = pa_text_Split(line, '\t');
        std::string chunk = ":\n\n";
        if (r == 1 && f.size() == 7 && f[0] == "PUSH")
        {
            chunk = "data: " + JsonRecord(f[1], f[5], f[2], f[6], true, Unescaped(f[4]), f[3]) + "\n\n";
        }
        else if (r == 1)
        {
            return true;
        }
        return sink.write(chunk.data(), chunk.size());
    }, [](bool) { --Streams; });
}

// What the running board lets the panel move, and what it shows the component driving.
void SimKeys(const httplib::Request& req, httplib::Response& res)
{
    if (!Allowed(req, res, false)) return;
    std::vector<std::string> lines;
    std::string error;
    if (access(Site.controlSocket.c_str(), F_OK) != 0) return Fail(res, 404, "the board is not simulated");
    if (!Ask(Site.controlSocket, "INPUTS", true, &lines, &error)) return Fail(res, 502, error);
    std::string body = "[";
    for (const std::string& line : lines)
    {
        std::vector<std::string> f = pa_text_Split(line, '\t');
        if (f.size() != 4 || f[0] != "KEY") continue;
        body += (body.size() > 1 ? "," : "") + std::string("{\"key\":") + dhub_JsonString(f[1]) +
                ",\"value\":" + dhub_JsonString(f[2]) + ",\"use\":" + dhub_JsonString(f[3]) + "}";
    }
    Json(res, 200, body + "]");
}

void SimSet(const httplib::Request& req, httplib::Response& res)
{
    if (!Allowed(req, res, true)) return;
    std::string key = req.get_param_value("key"), value = req.get_param_value("value");
    if (key.empty() || (key + value).find_first_of("\t\r\n") != std::string::npos) return Fail(res, 400, "no key named");
    std::vector<std::string> lines;
    std::string error;
    if (!Ask(Site.controlSocket, "SET\t" + key + "\t" + value, false, &lines, &error)) return Fail(res, 502, error);
    if (lines[0].compare(0, 2, "OK") == 0) return Json(res, 200, "{\"ok\":true}");
    Fail(res, 409, Reason(lines[0]));
}


}

int main(int argc, char** argv)
{
    std::string listen = "127.0.0.1:8080";
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; i++)
    {
        if (strcmp(argv[i], "--listen") == 0 && i + 1 < argc) listen = argv[++i];
        else rest.push_back(argv[i]);
    }
    ToolOptions options;
    int exitCode = 0;
    if (!ParseToolOptions("veltrona-web", static_cast<int>(rest.size()), rest.data(), Usage, &options, &exitCode))
    {
        return exitCode;
    }
    if (!options.args.empty()) return UsageError("veltrona-web", options.args, false, Usage);
    size_t colon = listen.rfind(':');
    long port = 0;
    if (colon == std::string::npos || colon == 0 || !ParseCount(listen.c_str() + colon + 1, &port) || port < 1 ||
        port > 65535)
    {
        fprintf(stderr, "veltrona-web: --listen takes HOST:PORT (port 1 to 65535), not '%s'\n", listen.c_str());
        return 2;
    }
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::string runtimeDir = options.serviceDir.substr(0, options.serviceDir.rfind('/'));
    Site.adminSocket = runtimeDir + "/datahub.sock";
    Site.controlSocket = runtimeDir + "/" + SIM_CONTROL_SOCKET;
    if (options.timeout > 0) Site.timeout = options.timeout;
    if (!Loopback(host))
    {
        pa_text_RandomHex(16, &Site.token);
        std::string file = runtimeDir + "/web-token";
        std::string line = Site.token + "\n";
        if (Site.token.empty() || pa_fs_WriteFileAtomic(file.c_str(), line.data(), line.size()) != LE_OK)
        {
            fprintf(stderr, "veltrona-web: cannot write the token to %s\n", file.c_str());
            return 2;
        }
        fprintf(stderr, "veltrona-web: on %s every request needs the token %s (kept in %s)\n", listen.c_str(),
                Site.token.c_str(), file.c_str());
    }

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(PoolThreads); };
    server.set_payload_max_length(64 * 1024);   // a push carries one value of the Data Hub at most
    server.set_default_headers({
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
         "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(WebPage, "text/html; charset=utf-8"); });
    server.Get("/app.js", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(WebScript, "text/javascript; charset=utf-8");
    });
    server.Get("/style.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(WebStyle, "text/css; charset=utf-8");
    });
    server.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    server.Get("/api/resources", Resources);
    server.Post("/api/push", Push);
    server.Get("/api/events", Events);
    server.Get("/api/sim", SimKeys);
    server.Post("/api/sim", SimSet);
    if (!server.bind_to_port(host.c_str(), static_cast<int>(port)))
    {
        fprintf(stderr, "veltrona-web: cannot serve %s: %s\n", listen.c_str(), strerror(errno));
        return 2;
    }
    // Ctrl-C and SIGTERM are taken by a thread of their own, which stops the server.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::thread stopper([&server, stopping] {
        int sig = 0;
        sigwait(&stopping, &sig);
        server.stop();
    });
    fprintf(stderr, "veltrona-web: http://%s/ for the gateway in %s\n", listen.c_str(), runtimeDir.c_str());
    server.listen_after_bind();
    pthread_kill(stopper.native_handle(), SIGTERM);   // when the server ended on its own
    stopper.join();
    return 0;
}

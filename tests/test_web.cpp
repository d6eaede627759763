// veltrona-web against a real veltrona on the simulated converter board, spoken to over HTTP: what
// keeps other sites and other hosts out, and what bounds the pages that watch. What the page does
// is tested in a browser (tests/browser).
#include "e2e_support.h"

#include <httplib.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

namespace
{

class WebView : public EndToEnd
{
protected:
    Program veltrona;
    std::vector<pid_t> webs;

    void TearDown() override
    {
        for (pid_t pid : webs) kill(pid, SIGTERM);
        for (pid_t pid : webs) EXPECT_EQ(simProcess_Wait(pid, 10000), 0);
    }

    // veltrona-web on host:port, answering once it serves.
    httplib::Client Start(const std::string& host, int port)
    {
        webs.push_back(simProcess_Start(WEB_BIN, {"--runtime-dir", Runtime(), "--listen", host + ":" + std::to_string(port)},
                                        dir.File("web" + std::to_string(webs.size())), false));
        httplib::Client client("127.0.0.1", port);
        for (int i = 0; i < 100 && !client.Get("/style.css"); i++) usleep(50000);
        return client;
    }

    static httplib::Result Push(httplib::Client& c, const std::string& path, const std::string& value,
                                httplib::Headers headers = {{"X-Veltrona", "1"}})
    {
        return c.Post("/api/push", headers, httplib::Params{{"path", path}, {"value", value}});
    }
};
}

TEST_F(WebView, OnlyThePageOfThisMachineOrOneWithTheTokenGetsInAndWatchersAreBounded)
{
    ASSERT_TRUE(veltrona.Start({"--scenario", "converter", "--clock", "skip", "--runtime-dir", Runtime()}, Log()));
    std::string out;
    ASSERT_EQ(Dhub("wait settings/addon_type --timeout 20", &out), 0) << out;
    const int port = simProcess_FreePort();
    httplib::Client web = Start("127.0.0.1", port);
    auto page = web.Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);

    // A page of another site whose name was made to resolve to loopback is turned away.
    for (const char* host : {"evil.example", "127.0.0.1.evil.example", "localhost.evil.example:8080"})
    {
        EXPECT_EQ(web.Get("/api/resources", {{"Host", host}})->status, 403) << host;
    }
    EXPECT_EQ(web.Get("/api/resources", {{"Host", "localhost:" + std::to_string(port)}})->status, 200);

    // A change needs the page's own header, and carries one value, not more.
    EXPECT_EQ(Push(web, "settings/i2c_high_resolution", "false", {})->status, 403);
    EXPECT_EQ(Push(web, "settings/i2c_address", std::string(100000, '1'))->status, 413);
    EXPECT_EQ(Push(web, "settings/i2c_high_resolution", "false")->status, 200);
    ASSERT_EQ(Dhub("get settings/i2c_high_resolution", &out), 0);
    EXPECT_EQ(out, "false\n");

    // Away from loopback every request needs the token the program wrote (in the query only where a
    // browser cannot send headers: the event stream), and a change still its header.
    const int openPort = simProcess_FreePort();
    httplib::Client open = Start("0.0.0.0", openPort);
    EXPECT_EQ(open.Get("/api/resources")->status, 401);
    std::string token = ReadTextFile(Runtime() + "/web-token");
    ASSERT_EQ(token.size(), 33u);
    token.pop_back();
    EXPECT_EQ(open.Get("/api/resources", {{"X-Veltrona-Token", token}})->status, 200);
    EXPECT_EQ(open.Get(("/api/resources?token=" + token).c_str())->status, 200);
    EXPECT_EQ(open.Post(("/api/push?token=" + token).c_str(), {{"X-Veltrona", "1"}},
                        httplib::Params{{"path", "settings/i2c_high_resolution"}, {"value", "true"}})->status,
              401);
    EXPECT_EQ(Push(open, "settings/i2c_high_resolution", "true", {{"X-Veltrona-Token", token}})->status, 403);

    // Pages that watch and never read take a bounded share of the server: the ninth stream is
    // refused while the list is still served, and a page gone makes room for another.
    auto openStream = [&token, openPort](int* status) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(openPort));
        std::string request = "GET /api/events?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        char head[16] = "";
        bool answered = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
                        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()) &&
                        read(fd, head, sizeof(head) - 1) >= 12;
        *status = answered ? atoi(head + 9) : 0;   // "HTTP/1.1 200"
        return fd;
    };
    std::vector<int> streams(9), statuses(9);
    for (int i = 0; i < 9; i++) streams[i] = openStream(&statuses[i]);
    EXPECT_EQ(statuses, std::vector<int>({200, 200, 200, 200, 200, 200, 200, 200, 503}));
    EXPECT_EQ(open.Get("/api/resources", {{"X-Veltrona-Token", token}})->status, 200);
    for (int fd : streams) close(fd);
    int again = 0;
    for (int i = 0; i < 100 && again != 200; i++)
    {
        usleep(50000);
        close(openStream(&again));
    }
    EXPECT_EQ(again, 200);
    EXPECT_EQ(veltrona.Interrupt(10), 0);
}

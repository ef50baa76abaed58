// Misbehaving and numerous agents, simulated by this process speaking the
// protocol itself against a cli-server reading its script from a pipe.
#include "server_fixture.h"
#include "test_server.h"

#include "cli_common.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace clitest;
using clitest::Conn;

class ServerRobustness : public ServerTest {};

TEST_F(ServerRobustness, MisbehavingAgentsDoNotDisturbAWellBehavedOne) {
    auto server = start_scripted_server();
    Conn good = greeted_agent("good", 1);
    Conn half = greeted_agent("half", 2);
    ASSERT_TRUE(half.send_raw(clitest::encode_frame(CLI_FRAME_OUTPUT, 9, 2, "x").substr(0, 10)));
    Conn silent = connect_agent(); // never says anything
    Conn bad = greeted_agent("bad", 3);
    ASSERT_TRUE(bad.send_raw("GARBAGE-GARBAGE-GARBAGE"));
    Conn stranger = connect_agent();
    ASSERT_TRUE(stranger.send_raw("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));

    EXPECT_TRUE(bad.wait_closed());
    EXPECT_TRUE(stranger.wait_closed());

    server->write_in("attach good\necho hi\n");
    auto cmd = good.read_frame();
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->type, CLI_FRAME_COMMAND);
    EXPECT_EQ(cmd->payload, "echo hi");
    ASSERT_TRUE(good.send_frame(CLI_FRAME_OUTPUT, cmd->req_id, "hi\n", 1));
    ASSERT_TRUE(good.send_frame(CLI_FRAME_DONE, cmd->req_id, "", 1));

    server->write_in("ls\n");
    server->close_in();
    auto out = read_all(server->out());
    ASSERT_TRUE(out);
    EXPECT_NE(out->find("hi\n"), std::string::npos) << *out;
    EXPECT_NE(out->find(" good "), std::string::npos) << *out;
    EXPECT_NE(out->find(" half "), std::string::npos) << *out;
    EXPECT_EQ(out->find(" bad "), std::string::npos) << *out;
    EXPECT_EQ(server->wait(), 0);

    auto err = read_all(server->err());
    ASSERT_TRUE(err);
    EXPECT_NE(err->find("cli-server: bad (id 3) sent a malformed frame (bad magic 0x47415242); "
                        "connection closed\n"),
              std::string::npos)
        << *err;
    // A connection that never said HELLO concerns whoever listens on the
    // agents' port: a standalone script's own stderr, else the resident
    // server's journal (its clients only hear of greeted agents).
    const std::string stranger_line = "never said HELLO sent a malformed frame";
    const std::string where = daemon() ? daemon()->journal() : *err;
    EXPECT_NE(where.find(stranger_line), std::string::npos) << where;
    EXPECT_EQ(std::count(err->begin(), err->end(), '\n'), daemon() ? 1 : 2) << *err;
}

TEST_F(ServerRobustness, AgentsWithTheSameNameAreToldApartById) {
    auto server = start_scripted_server();
    Conn first = greeted_agent("twin", 5);
    Conn second = greeted_agent("twin", 6);
    server->write_in("attach 6\necho x\n");
    auto cmd = second.read_frame();
    ASSERT_TRUE(cmd && cmd->type == CLI_FRAME_COMMAND);
    ASSERT_TRUE(second.send_frame(CLI_FRAME_OUTPUT, cmd->req_id, "x\n", 6));
    ASSERT_TRUE(second.send_frame(CLI_FRAME_DONE, cmd->req_id, "", 6));

    server->write_in("ls\nattach twin\necho never\n");
    server->close_in();
    auto out = read_all(server->out());
    ASSERT_TRUE(out);
    EXPECT_NE(out->find("x\n"), std::string::npos) << *out;
    EXPECT_NE(out->find("  5 "), std::string::npos) << *out;
    EXPECT_NE(out->find("* 6 "), std::string::npos) << *out;
    EXPECT_EQ(server->wait(), 1);
    auto err = read_all(server->err());
    ASSERT_TRUE(err);
    // Names are not authenticated: each candidate is shown with its user and
    // a selector that picks exactly it (one process holds both: not pid:N).
    const passwd *pw = getpwuid(getuid());
    const std::string user = pw ? pw->pw_name : std::to_string(getuid());
    EXPECT_EQ(err->rfind("cli-server: several agents match 'twin': twin (id 5, user " + user, 0),
              0u)
        << *err;
    EXPECT_NE(err->find(" as 5@" + user + ", twin (id 6, user " + user), std::string::npos) << *err;
    EXPECT_NE(err->find(" as 6@" + user + "; attach one as shown\n"), std::string::npos) << *err;
    EXPECT_EQ(std::count(err->begin(), err->end(), '\n'), 1) << *err;
}

TEST_F(ServerRobustness, LeavingSaysGoodbyeToEveryAgent) {
    SKIP_THROUGH_DAEMON("the agents stay with the resident server when a client leaves");
    auto server = start_scripted_server();
    Conn idle = greeted_agent("idle", 5);
    Conn used = greeted_agent("used", 6);
    server->write_in("attach used\necho x\n");
    auto cmd = used.read_frame();
    ASSERT_TRUE(cmd && cmd->type == CLI_FRAME_COMMAND);
    ASSERT_TRUE(used.send_frame(CLI_FRAME_DONE, cmd->req_id, "", 6));
    server->close_in();
    EXPECT_EQ(server->wait(), 0);
    // The idle agent saw nothing but its ACK and the goodbye.
    for (Conn *c : {&idle, &used}) {
        auto bye = c->read_frame();
        ASSERT_TRUE(bye);
        EXPECT_EQ(bye->type, CLI_FRAME_BYE);
    }
}

TEST_F(ServerRobustness, ListsAThousandAgents) {
    constexpr int kAgents = 1000;
    raise_own_descriptor_limit(kAgents + 64);
    auto start = std::chrono::steady_clock::now();
    // Started with a soft limit far below what it needs, the server has to
    // raise its own.
    auto server = start_scripted_server(256);
    std::vector<Conn> agents;
    for (int i = 0; i < kAgents; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "agent%04d", i);
        agents.push_back(greeted_agent(name, static_cast<uint32_t>(i + 1)));
        ASSERT_FALSE(HasFailure()) << name << " was not acknowledged";
    }
    server->write_in("ls\n");
    server->close_in();
    auto out = read_all(server->out());
    ASSERT_TRUE(out);
    size_t listed = 0;
    for (size_t at = out->find(" agent"); at != std::string::npos; at = out->find(" agent", at + 1))
        ++listed;
    EXPECT_EQ(listed, static_cast<size_t>(kAgents));
    EXPECT_EQ(server->wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
}

TEST_F(ServerRobustness, SlowStandardOutputStopsReadingTheFloodingAgent) {
    auto server = start_scripted_server();
    Conn flood = greeted_agent("flood", 4);
    server->write_in("attach flood\nstream\n");
    auto cmd = flood.read_frame();
    ASSERT_TRUE(cmd && cmd->type == CLI_FRAME_COMMAND);

    // Phase 1: nobody reads the server's standard output. Its writes must
    // stall and the server must stop reading, so our sends stall too.
    const std::string payload(CLI_FRAME_MAX_DATA, 'z');
    const std::string frame = clitest::encode_frame(CLI_FRAME_OUTPUT, cmd->req_id, 4, payload);
    constexpr size_t kCap = 256u << 20;
    fcntl(flood.fd(), F_SETFL, fcntl(flood.fd(), F_GETFL) | O_NONBLOCK);
    size_t sent = 0; // bytes of frames written, including a partial one
    bool stalled = false;
    while (sent < kCap && !stalled) {
        size_t off = sent % frame.size();
        ssize_t w = send(flood.fd(), frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            continue;
        }
        ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
        pollfd p{flood.fd(), POLLOUT, 0};
        stalled = poll(&p, 1, 1000) == 0;
    }
    ASSERT_TRUE(stalled) << "the server buffered all " << sent << " bytes";
    EXPECT_LT(sent, size_t{64} << 20);

    // Phase 2: read the output; every byte sent arrives, then DONE ends it.
    std::string rest = frame.substr(sent % frame.size()) +
                       clitest::encode_frame(CLI_FRAME_DONE, cmd->req_id, 4, "");
    const size_t expected = (sent + frame.size() - 1) / frame.size() * payload.size();
    size_t received = 0, rest_off = 0;
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (received < expected && std::chrono::steady_clock::now() < deadline) {
        pollfd p[2] = {{server->out(), POLLIN, 0},
                       {flood.fd(), static_cast<short>(rest_off < rest.size() ? POLLOUT : 0), 0}};
        if (poll(p, 2, 1000) <= 0) continue;
        if (p[0].revents) {
            char buf[65536];
            ssize_t r = read(server->out(), buf, sizeof buf);
            ASSERT_GT(r, 0);
            ASSERT_TRUE(std::all_of(buf, buf + r, [](char c) { return c == 'z'; }));
            received += static_cast<size_t>(r);
        }
        if (p[1].revents & POLLOUT) {
            ssize_t w =
                send(flood.fd(), rest.data() + rest_off, rest.size() - rest_off, MSG_NOSIGNAL);
            if (w > 0) rest_off += static_cast<size_t>(w);
        }
    }
    EXPECT_EQ(received, expected);
    server->close_in();
    EXPECT_EQ(server->wait(), 0);
}

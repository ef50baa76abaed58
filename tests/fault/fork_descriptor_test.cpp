// A host thread that forks while the agent thread holds a descriptor it
// opened for itself (its socket before connect() returns, the owner
// lookup's netlink socket or /proc file) leaves none of them open in the
// child: a child holding a copy of the connection would keep it open after
// the host died. Linked with the hooked copy of the library, which holds the
// agent thread at exactly those moments.
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "agent_fixture.h"
#include "hook_gate.h"

using namespace clitest;

namespace {

using point = HookGate::point;

// (descriptor, inode) of every socket and /proc/.../net file this process
// has open.
std::set<std::pair<int, ino_t>> network_descriptors() {
    std::set<std::pair<int, ino_t>> found;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return found;
    int own = dirfd(dir);
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        int fd = std::stoi(e->d_name);
        if (fd == own) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0) continue;
        char target[256] = {};
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        bool proc_net = n > 0 && std::string(target).find("/net/tcp") != std::string::npos;
        if (S_ISSOCK(st.st_mode) || proc_net) found.insert({fd, st.st_ino});
    }
    closedir(dir);
    return found;
}

class ForkWhileHeld : public ::testing::TestWithParam<point> {};

TEST_P(ForkWhileHeld, TheChildHoldsNoneOfTheAgentsDescriptors) {
    TestServer server;
    ASSERT_TRUE(server.listening());
    HookGate gate(GetParam());
    auto before = network_descriptors();
    ASSERT_EQ(cli_agent_init(31, "forked"), 0);
    ASSERT_TRUE(gate.wait_arrivals(GetParam(), 1));

    // An exec'd program never inherits them either.
    for (const auto &d : network_descriptors()) {
        if (before.count(d) == 0) {
            EXPECT_NE(fcntl(d.first, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << d.first;
        }
    }

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int leaked = 0;
        for (const auto &d : network_descriptors())
            if (d.first != report[1] && before.count(d) == 0) ++leaked;
        char c = static_cast<char>('0' + std::min(leaked, 9));
        (void)!write(report[1], &c, 1);
        _exit(0);
    }
    close(report[1]);
    char leaked = '?';
    EXPECT_EQ(read(report[0], &leaked, 1), 1);
    close(report[0]);
    EXPECT_EQ(leaked, '0') << "descriptors of the agent in the child";
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);

    // The parent's agent is untouched by the child's closes.
    gate.release_one();
    Conn conn = server.accept();
    ASSERT_TRUE(conn.valid());
    ASSERT_TRUE(conn.handshake().has_value());
    EXPECT_TRUE(conn.command("help").done);
    cli_agent_destroy(31);
}

INSTANTIATE_TEST_SUITE_P(Moments, ForkWhileHeld,
                         ::testing::Values(point::connection_socket_opened,
                                           point::lookup_descriptor_opened),
                         [](const auto &info) {
                             return info.param == point::connection_socket_opened
                                        ? std::string("DuringConnect")
                                        : std::string("DuringTheOwnerLookup");
                         });

} // namespace

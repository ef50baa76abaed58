// The agent in a process that also loads another library exporting some of
// the same C names: the library's own calls stay inside it.
#include "agent_fixture.h"

extern "C" int rival_split_calls;

using namespace clitest;

namespace {

int echo_handler(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        cli_print_buffer("%s%s", argv[i], i + 1 < argc ? " " : "\n");
    return 0;
}

} // namespace

// The fixture's handshake already needs the library's own cli_send_text.
TEST_F(AgentTest, ARivalLibraryLoadedFirstCannotRedirectTheLibrarysOwnCalls) {
    cli_args args{};
    char line[] = "a b";
    cli_split_args(line, &args);
    ASSERT_EQ(rival_split_calls, 1) << "the rival library does not come first in this process";
    ASSERT_TRUE(add_command("echo", echo_handler));
    auto r = conn_.command("echo one two");
    ASSERT_TRUE(r.done);
    EXPECT_EQ(r.output(), "one two\n");
    EXPECT_EQ(rival_split_calls, 1) << "the agent called the rival's cli_split_args";
}

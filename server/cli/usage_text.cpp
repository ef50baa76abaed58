// The fixed text of --help: the synopsis and what cli-server is, the
// commands and modes, and the exit statuses (options.cpp puts the option
// lines between them).
#include "cli/usage_text.h"

#include "protocol.h"

namespace cliserver {

// --help around the option lines: the synopsis and what cli-server is,
// then the commands and modes, then (after the resident server's options)
// the exit statuses.
namespace {

constexpr const char *kUsageHead =
    "Usage: cli-server [--port N] [--agent AGENT|PATTERN | --all] [--wait SECONDS]\n"
    "                  [--gather SECONDS] [--json] [--no-label] [--answer TEXT]\n"
    "                  [--timeout SECONDS] [-c LINE]...\n"
    "                  [--socket PATH] [--client | --standalone]\n"
    "       cli-server --daemon [--port N] [--socket PATH] [--group NAME]\n"
    "                  [--audit-log FILE] [--syslog] [--agent-users LIST]\n"
    "                  [--max-clients N] [--max-clients-total N]\n"
    "                  [--max-queued MIB] [--max-queued-total MIB]\n"
    "                  [--metrics-file PATH [--metrics-interval SECONDS]]\n"
    "                  [--policy FILE]\n"
    "       cli-server --check-policy FILE [--as USER --agent AGENT -c LINE...]\n"
    "       cli-server --metrics [--socket PATH]\n"
    "       cli-server --help | --version\n"
    "\n"
    "Operator console for services that embed cli_agent. Listens on 127.0.0.1\n"
    "only, accepts any number of agents and sends command lines to one of them,\n"
    "or to every agent of a set.\n"
    "When a resident server (cli-server --daemon) answers on its socket, every\n"
    "invocation below is its client and behaves the same; otherwise cli-server\n"
    "holds the agents' port itself for as long as it runs.\n"
    "\n"
    "Options:\n";

constexpr const char *kUsageModes =
    "\n"
    "Server commands (everything else goes to the attached agent):\n"
    "  help                  these commands, then the attached agent's help\n"
    "  ls                    connected agents: id, name, connection time, the pid\n"
    "                        and user of the agent, queued commands, state\n"
    "  attach AGENT          send command lines to that agent (NAME, ID, NAME@USER,\n"
    "                        ID@USER, pid:N); bare attach detaches\n"
    "  attach PATTERN        send each line to every agent whose name matches\n"
    "  quit, exit            leave (standalone: after a goodbye to every agent)\n"
    "\n"
    "Interactive mode (standard input is a terminal, no -c): line editing,\n"
    "history in ~/.cli_server_history, Tab completes server commands, agent\n"
    "names after attach and the attached agent's commands. Ctrl-C stops waiting\n"
    "for a command; its late output is discarded. Colour on a terminal unless\n"
    "NO_COLOR is set.\n"
    "\n"
    "Scripting mode (-c given, or standard input not a terminal): runs the -c\n"
    "commands, or else each line of standard input (# starts a comment), in\n"
    "order, and exits. Whenever the agent named by --agent or attach is not\n"
    "connected, it is waited for up to --wait seconds. A prompt from the agent\n"
    "takes its reply from the next line of standard input. Command output goes\n"
    "to standard output, messages to standard error.\n"
    "\n"
    "Fan-out (--all, a pattern, --json or --answer in scripting mode): every\n"
    "command runs on every selected agent, in parallel across agents and in\n"
    "order on each; standalone, agents are first gathered for --gather seconds\n"
    "(a resident server has them already). Each output line is labelled\n"
    "'NAME: ' (for a pattern or --all); --json prints objects with host, name,\n"
    "id, pid, user, command, status (done, prompt-refused, agent-disconnected,\n"
    "not-connected, timed-out, interrupted), result (the agent's: the handler's\n"
    "return value, 127 for an unknown command; null when not reported),\n"
    "duration_ms and output (output_base64 when it is not UTF-8).\n"
    "\n"
    "Resident server (--daemon): stays in the foreground, holds the agents' port\n"
    "and serves any number of operators and scripts on its socket (mode 0600 in\n"
    "a 0700 directory). Commands for one agent queue in arrival order; each\n"
    "client sees only its own output and prompts. Reports readiness to systemd\n"
    "and stops on SIGTERM.\n";

} // namespace

const char *usage_head() {
    return kUsageHead;
}

const char *usage_modes() {
    return kUsageModes;
}

std::string exit_status_text() {
    return "\n"
           "Exit status:\n"
           "  0    every command completed and succeeded (on every selected agent)\n"
           "  1    usage or set-up error (for example the port is already in use, or the\n"
           "       resident server refused the client or went away), or a\n"
           "       line that could not be sent (no agent attached, longer than " +
           std::to_string(cli_protocol::command_line_max) +
           "\n"
           "       bytes, an agent name that several agents share)\n"
           "  2    the agent did not connect, or the pattern matched no agent, within\n"
           "       --wait seconds\n"
           "  3    the agent disconnected in the middle of a command, or a command ran\n"
           "       out of --timeout (in a fan-out: no selected agent completed every\n"
           "       command)\n"
           "  4    fan-out: some agents completed every command and others did not\n"
           "  5    standard output could not be written (no space, I/O error, reader gone)\n"
           "  6    every command completed, and at least one failed: a non-zero result\n"
           "       (127: unknown command) or a refused prompt\n"
           "  130  interrupted by Ctrl-C\n";
}

} // namespace cliserver

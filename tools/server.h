// The cli-server event loop: one thread, one poll over the listening socket,
// every agent connection, standard input, standard output and a signalfd.
// Agent sockets are non-blocking and decoded incrementally, so no agent can
// stall the operator or the other agents.
#pragma once

#include "frame_codec.h"
#include "line_editor.h"
#include "options.h"
#include "output_queue.h"
#include "unique_fd.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cliserver {

struct Agent {
    uint64_t serial = 0; // connection order; also the key in the table
    UniqueFd fd;
    bool greeted = false;
    bool closed = false;
    uint32_t id = 0;
    std::string name;
    std::chrono::system_clock::time_point connected_at;
    FrameDecoder decoder;
    std::string sendq;
    size_t sendq_pos = 0;
    uint32_t running_req = 0;          // req_id the agent is executing, 0 when idle
    bool running_hidden = false;       // ... and nobody is shown its output
    std::vector<std::string> commands; // learned from its help listing
};

// The one command the operator is waiting for.
struct Request {
    uint64_t agent = 0;
    uint32_t req_id = 0;
    std::string line;
    bool sent = false;
    bool prompt_pending = false;
    bool hidden = false;      // output only feeds `listing`, nothing is shown
    bool learn = false;       // output is a help listing to learn command names from
    bool holds_prompt = true; // the operator waits for it (no prompt meanwhile)
    std::string listing;
};

class Server {
  public:
    explicit Server(Options opts);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Runs until quit, end of input or a fatal condition; returns the exit status.
    int run();

  private:
    enum class Notice { kInfo, kWarning, kError };

    bool set_up();
    bool open_listener();
    bool open_signalfd();
    void raise_descriptor_limit();

    void loop_once();
    int poll_timeout_ms() const;
    bool wants_stdin() const;
    bool agent_readable(const Agent &a) const;
    void on_signal();
    void check_deadlines();
    void shut_down();

    void accept_agents();
    void read_agent(Agent &a);
    void flush_agent(Agent &a);
    void handle_frame(Agent &a, Frame &f);
    void greet(Agent &a, const Frame &f);
    void on_output(Agent &a, const Frame &f);
    void on_prompt(Agent &a, const Frame &f);
    void on_done(Agent &a, const Frame &f);
    void send_to(Agent &a, uint16_t type, uint32_t req_id, std::string_view payload = {});
    void drop_agent(Agent &a, const std::string &why, Notice kind = Notice::kInfo);
    void reap_agents();

    Agent *find_agent(uint64_t serial);
    Agent *attached_agent();
    std::vector<Agent *> match_agents(const std::string &wanted);
    void attach_to(Agent &a, bool by_operator);
    void try_attach_target();

    void on_line(std::optional<std::string> line);
    void run_line(const std::string &line);
    bool run_server_command(const std::string &line);
    void cmd_help();
    void cmd_ls();
    void cmd_attach(const std::vector<std::string> &args);
    void cmd_quit();
    void send_to_attached(const std::string &line, bool learn);
    void submit(Agent &a, const std::string &line, bool hidden, bool learn,
                bool holds_prompt = true);
    void dispatch(Agent &a);
    void finish_request();
    void interrupt();
    void answer_prompt(const std::string &reply);

    void advance_script();
    bool read_stdin();
    std::optional<std::string> take_stdin_line();
    void fail(int status, const std::string &message);
    void refuse(const std::string &message);

    void refresh_editor();
    std::string prompt_text() const;
    std::vector<std::string> complete(std::string_view before) const;
    void notice(Notice kind, const std::string &text);
    void emit(std::string_view bytes);
    std::string paint(const char *sgr, const std::string &text) const;

    Options opts_;
    bool interactive_ = false;
    bool color_ = false;
    UniqueFd listener_;
    UniqueFd signal_fd_;
    OutputQueue out_;
    std::unique_ptr<LineEditor> editor_;

    std::map<uint64_t, std::unique_ptr<Agent>> agents_;
    uint64_t next_serial_ = 1;
    uint32_t next_req_id_ = 1;
    uint64_t attached_ = 0; // serial of the attached agent, 0 if none
    std::string target_;    // NAME|ID to (re)attach to when it connects
    std::optional<Request> current_;
    std::chrono::steady_clock::time_point accept_paused_until_{};

    // Scripting mode.
    std::deque<std::string> script_; // -c commands still to run
    std::string stdin_buf_;
    bool stdin_eof_ = false;
    std::optional<std::chrono::steady_clock::time_point> wait_deadline_;
    std::optional<std::string> waiting_line_; // line to run once the agent is there

    bool stop_ = false;
    int exit_status_ = 0;
};

} // namespace cliserver

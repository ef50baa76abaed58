// Fan-out: the same command lines on a set of agents at once, for the
// operator who asks twenty services for `status` and for monitoring that
// parses the answers.
//
// FanoutRun is a hub client of its own next to the front end: it runs
// a list of lines on each agent of a set, in parallel across agents and in
// order on each, and turns what comes back into labelled lines ("db-1: ...",
// one whole line at a time, so agents never interleave inside a line) or
// one JSON object per agent and command. A prompt never holds a fan-out: it
// is answered with the configured reply, or refused (answered empty).
//
// FanoutScript is scripting mode on top of it: it selects the agents (a
// pattern, an id, a name or all of them; in standalone mode agents are
// gathered for a while first, since they connect only once the server is
// up), runs the script and decides the exit status.
//
// Threading: single-threaded, on the event loop's thread.
#pragma once

#include "hub/agent_selection.h"
#include "hub/agent_service.h"
#include "core/event_loop.h"
#include "core/exit_status.h"
#include "operator/json_result.h"
#include "operator/operator_options.h"
#include "operator/request_deadlines.h"
#include "core/output_queue.h"
#include "core/text.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace cliserver {

using NoticeFn = std::function<void(Notice, const std::string &)>;

struct FanoutSettings {
    bool json = false;
    bool label = true;                 // plain output: "NAME: " before every line
    std::optional<std::string> answer; // the reply to every prompt; none: refused
    std::string host;                  // for the JSON objects
    uint32_t timeout_seconds = 0;      // --timeout per command and agent; 0: none
};

class FanoutRun : public HubClient {
  public:
    FanoutRun(AgentService &hub, EventLoop &loop, OutputQueue &out, NoticeFn notice,
              FanoutSettings settings);
    ~FanoutRun() override;
    FanoutRun(const FanoutRun &) = delete;
    FanoutRun &operator=(const FanoutRun &) = delete;

    // rows: the rows of ls (which look pids up in one pass), sorted by
    // serial, where the caller knows the agents' pids and uids better than
    // the views.
    void start(const std::vector<AgentView *> &agents, std::vector<std::string> lines,
               const std::vector<AgentRow> &rows = {});
    bool running() const { return unfinished_ > 0; }
    // Stops waiting: running commands finish on their agents unseen, and
    // every command not done counts as interrupted.
    void interrupt();
    // The output crossed its high-water mark since the last report (its
    // front end asks the queue once per wake-up): tells the hub.
    void report_congestion();

    ScriptTally tally() const;

    // Called for every agent that says HELLO, selected or not.
    std::function<void(AgentView &)> on_greeted;

    // HubClient
    void on_agent_greeted(AgentView &a) override;
    void on_agent_lost(AgentView &a, const std::string &why, Notice kind) override;
    void on_output(const Request &r, std::string_view bytes) override;
    bool on_prompt(const Request &r, const std::string &text) override;
    void on_done(const Request &r) override;
    bool congested() const override { return out_.over_high_water(); }
    // The front end beside it shows the service's messages.
    void on_hub_notice(Notice, const std::string &) override {}

  private:
    struct Slot {
        uint64_t serial = 0;
        uint32_t id = 0;
        std::string name;
        std::string label; // plain output: what goes before each line
        std::optional<pid_t> pid;
        std::optional<uid_t> uid;
        std::string user;      // uid_text(uid), for JSON results
        size_t next = 0;       // index of the line that runs next
        RequestId current = 0; // the running line's request, 0 between lines
        std::chrono::steady_clock::time_point started;
        std::string pending; // plain: the unfinished line; JSON: the output so far
        bool truncated = false;
        bool refused = false; // a prompt of the running line was answered empty
        CommandOutcome outcome() const {
            return refused ? CommandOutcome::kPromptRefused : CommandOutcome::kDone;
        }
        bool failed = false;      // some line did not complete
        bool had_failure = false; // some line completed as a failure (a result, a refusal)
        bool finished = false;
        PrintableStream shown; // unlabelled output on a terminal
    };

    void label_slots();
    static std::string who(const Slot &s) { return describe(s.name, s.id); }
    void submit_next(Slot &s);
    CommandResult result_of(const Slot &s, CommandOutcome status) const;
    void finish_line(Slot &s, CommandOutcome status, std::optional<int32_t> result = {});
    void finish_rest(Slot &s, CommandOutcome status);
    void time_out(RequestId id);
    void emit_lines(Slot &s, bool flush);
    void append(std::string_view bytes);
    Slot *slot_of(RequestId id);

    AgentService &agents_;
    EventLoop &loop_;
    OutputQueue &out_;
    NoticeFn notice_;
    FanoutSettings settings_;
    std::vector<std::string> lines_;
    std::vector<Slot> slots_;
    std::unordered_map<RequestId, size_t> by_request_;
    std::unordered_map<uint64_t, size_t> by_serial_;
    RequestDeadlines deadlines_;
    bool terminal_ = false; // the output is a terminal
    size_t unfinished_ = 0;
};

class FanoutScript {
  public:
    // The script is opts.commands; without -c, set_lines() brings it later.
    FanoutScript(const OperatorOptions &opts, EventLoop &loop, AgentService &hub, OutputQueue &out,
                 NoticeFn notice);

    void start();
    bool has_lines() const { return lines_.has_value(); }
    void set_lines(std::vector<std::string> lines);
    void interrupt();
    void report_congestion() { run_.report_congestion(); }
    // The script is over: every selected agent is done, or it failed.
    bool finished();
    int exit_status() const { return exit_status_; }

  private:
    enum class Phase { kIdle, kSelecting, kListing, kRunning, kFinished };

    void check();
    void finish(ExitStatus status);
    std::string nothing_matched_text() const;

    OperatorOptions opts_;
    EventLoop &loop_;
    AgentService &agents_;
    NoticeFn notice_;
    FanoutRun run_;
    std::optional<std::vector<std::string>> lines_;
    Phase phase_ = Phase::kIdle;
    AgentSelector selector_;
    bool processes_known_ = false;   // pid:N: the processes were found since the last agent came
    bool finding_processes_ = false; // and are being found now
    bool gathers_ = false;
    EventLoop::clock::time_point gather_end_{};
    EventLoop::clock::time_point wait_end_{};
    int exit_status_ = 0;
};

std::string local_host_name();

} // namespace cliserver

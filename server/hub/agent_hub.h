// The agent side of cli-server: the listener on 127.0.0.1, every agent
// connection, each agent's queue of commands and the routing of what an
// agent sends back to the client whose command it is. Operator clients (the
// local console, the script runner) talk to the hub only through submit(),
// answer(), abandon() and the HubClient callbacks, so standalone mode is the
// hub with one in-process client.
//
// Costs: an idle agent holds no buffer (frames in, frames out and command
// queue are empty and release their memory), and nothing here runs per
// wake-up over all agents; the name and id indexes make a lookup cheap.
//
// Each agent's owner (uid, through the kernel's socket diagnostics) is looked
// up when it says HELLO, before the ACK, so --agent-users can turn it away;
// its pid, which costs a walk through /proc, when somebody asks.
//
// Threading: single-threaded, on the event loop's thread; callbacks into
// clients run there too and may call back into the hub.
#pragma once

#include "hub/agent_refusals.h"
#include "hub/agent_users.h"
#include "hub/agent_owner.h"
#include "hub/agent_selection.h"
#include "hub/agent_service.h"
#include "core/byte_stream.h"
#include "core/event_loop.h"
#include "core/listener.h"
#include "wire/agent_frames.h"
#include "unique_fd.h"

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace cliserver {

struct Agent : AgentView {
    ByteStream stream;
    std::chrono::steady_clock::time_point accepted; // for the HELLO time-out
    unsigned long socket_inode = 0;                 // the agent's end, to find its process
    bool pid_looked_up = false;
    FrameDecoder decoder;
    std::list<Request> queue; // front: the running command, if sent

    bool busy() const { return !queue.empty() && queue.front().sent; }
};

struct HubOptions {
    uint16_t port = 0;
    AgentUsers agent_users; // whose agents are accepted
    // Find each agent's process as it connects rather than when somebody
    // asks (resolve_pids(), which finds all the missing ones in one pass
    // over /proc: the cheaper way when thousands of agents connect).
    bool pids_at_greeting = false;
};

class AgentHub final : public AgentService {
  public:
    // A real agent says HELLO as soon as it is connected; a connection that
    // has not said it after this long is closed.
    static constexpr std::chrono::seconds kHelloTimeout{5};
    // At most this many connections may be waiting for their HELLO: beyond
    // it the oldest is closed (after reading what it sent), so a flood of
    // silent connections costs a bounded number of descriptors and cannot
    // keep a real agent, whose HELLO comes at once, out.
    static constexpr size_t kMaxUngreeted = 4096;
    // Descriptors never given to agent connections: operator clients, the
    // audit log, the lookups of agents' owners always have some.
    static constexpr size_t kReservedDescriptors = 64;

    AgentHub(EventLoop &loop, HubOptions options);
    ~AgentHub();
    AgentHub(const AgentHub &) = delete;
    AgentHub &operator=(const AgentHub &) = delete;

    // Opens the listener; on failure sets *error to why (without the
    // program's name: the standalone server prints it, the resident server
    // journals it as an error) and returns false.
    bool listen(std::string *error);
    // AgentService
    void add_client(HubClient *c) override { clients_.push_back(c); }
    void remove_client(HubClient *c) override { remove_observer(c); }
    void add_observer(AgentEvents *o) override { clients_.push_back(o); }
    void remove_observer(AgentEvents *o) override;
    Agent *find(uint64_t serial) override;
    std::vector<AgentView *> match(const AgentSelector &s) override;
    // Root, this process's user and --agent-users: the operator in this
    // process is of the server's user.
    const TrustedOwners &trusted_owners() const override { return trusted_; }
    void for_each_agent(const std::function<void(const AgentView &)> &fn) const override;
    size_t agent_count() const override { return greeted_count_; }
    RequestId new_request_id() override { return next_request_++; }
    bool submit(HubClient *c, AgentView &a, RequestId id, const std::string &line,
                bool quiet) override;
    bool request_sent(RequestId id) const override;
    void answer(RequestId id, std::string_view reply) override;
    void abandon(RequestId id) override;
    void congestion_changed(HubClient *c) override;
    void list_agents(std::function<void(std::vector<AgentRow>)> done) override;
    bool gathers() const override { return true; }
    std::string where() const override;

    const Agent *find(uint64_t serial) const;
    const Request *find_request(RequestId id) const;
    std::vector<AgentRow> rows();
    void resolve_pids() override;
    // For the resident server's metrics.
    const AgentRefusalCounts &refusals() const { return refusals_; }
    size_t queued_commands() const; // not yet sent, over all agents

    void say_goodbye(); // BYE to every greeted agent
    void reap();        // frees agents closed since the last call
    void close_all();

  private:
    void accept_agents();
    void admit(cli_shared::UniqueFd fd);
    void evict_oldest_ungreeted();
    void on_agent_events(uint64_t serial, uint32_t events);
    void read_agent(Agent &a);
    void flush_agent(Agent &a);
    void update_interest(Agent &a);
    bool readable(const Agent &a) const;
    void handle_frame(Agent &a, Frame &f);
    void greet(Agent &a, const Frame &f);
    bool owner_accepted(Agent &a);
    void on_output(Agent &a, const Frame &f);
    void on_prompt(Agent &a, const Frame &f);
    void on_done(Agent &a, const Frame &f);
    void dispatch_next(Agent &a);
    void send_to(Agent &a, uint16_t type, uint32_t req_id, std::string_view payload = {});
    void drop_agent(Agent &a, const std::string &why, Notice kind = Notice::kInfo);
    Request *locate(RequestId id, Agent **agent);
    void hub_notice(Notice kind, const std::string &text);
    void agent_notice(const Agent &a, Notice kind, const std::string &text);
    void arm_hello_timer();
    void on_hello_timer();
    bool make_room();
    void find_ungreeted_process(Agent &a);

    EventLoop &loop_;
    HubOptions options_;
    AgentOwnerLookup owners_;
    Listener listener_;
    size_t max_agents_ = 0;        // connections the descriptor limit leaves room for
    std::set<uint64_t> ungreeted_; // serials in the order they were accepted
    EventLoop::TimerId hello_timer_ = 0;
    unsigned owner_walks_left_ = 0; // /proc walks for connections closed before HELLO
    std::chrono::steady_clock::time_point owner_walks_since_{};
    std::map<uint64_t, std::unique_ptr<Agent>> agents_; // in the order they connected
    // The same agents for find(), several times per agent and command: a
    // hash costs less than a walk down a tree of thousands.
    std::unordered_map<uint64_t, Agent *> by_serial_;
    AgentIndex index_; // greeted agents
    TrustedOwners trusted_;
    // Live requests -> where they are, so that finding, answering or
    // withdrawing one never walks a queue.
    struct Placed {
        uint64_t agent = 0;
        std::list<Request>::iterator at;
    };
    std::unordered_map<RequestId, Placed> request_agent_;
    std::unordered_set<uint64_t> busy_; // agents with a command sent
    std::vector<uint64_t> closed_;
    std::vector<AgentEvents *> clients_;
    size_t greeted_count_ = 0;
    AgentRefusalCounts refusals_;
    uint64_t next_serial_ = 1;
    uint32_t next_req_id_ = 1;
    RequestId next_request_ = 1;
    std::string frame_; // the frame being sent, its memory kept for the next
};

} // namespace cliserver

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
// Threading: single-threaded, on the event loop's thread; callbacks into
// clients run there too and may call back into the hub.
#pragma once

#include "agent_owner.h"
#include "event_loop.h"
#include "frame_codec.h"
#include "unique_fd.h"

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace cliserver {

enum class Notice { kInfo, kWarning, kError };

class HubClient;

using RequestId = uint64_t;

// One command line for one agent, queued or running.
struct Request {
    RequestId id = 0;
    HubClient *client = nullptr;
    uint64_t agent = 0;
    uint32_t req_id = 0; // on the wire, once sent
    std::string line;
    bool quiet = false; // nobody is shown its output (no backpressure, no busy notice)
    bool sent = false;
    bool prompt_pending = false;
    bool abandoned = false; // its client gave up: output dropped, prompts answered empty
};

struct Agent {
    uint64_t serial = 0; // connection order; also the key in the table
    UniqueFd fd;
    bool greeted = false;
    bool closed = false;
    uint32_t id = 0;
    std::string name;
    std::chrono::system_clock::time_point connected_at;
    std::optional<pid_t> pid; // the process that holds the connection, where known
    std::optional<uid_t> uid;
    FrameDecoder decoder;
    std::string sendq;
    size_t sendq_pos = 0;
    std::list<Request> queue;          // front: the running command, if sent
    std::vector<std::string> commands; // learned from its help listing

    bool busy() const { return !queue.empty() && queue.front().sent; }
};

// What an operator client hears from the hub.
class HubClient {
  public:
    virtual ~HubClient() = default;
    virtual void on_agent_greeted(Agent &a) = 0;
    // The agent is gone (its requests with it, without further callbacks).
    virtual void on_agent_lost(Agent &a, const std::string &why, Notice kind) = 0;
    virtual void on_output(const Request &r, std::string_view bytes) = 0;
    // True when the client will answer; false makes the hub answer empty.
    virtual bool on_prompt(const Request &r, const std::string &text) = 0;
    virtual void on_done(const Request &r) = 0;
    // While true, agents running this client's visible commands are not read.
    virtual bool congested() const = 0;
    virtual void on_hub_notice(Notice kind, const std::string &text) = 0;
};

class AgentHub {
  public:
    AgentHub(EventLoop &loop, uint16_t port);
    ~AgentHub();
    AgentHub(const AgentHub &) = delete;
    AgentHub &operator=(const AgentHub &) = delete;

    // Opens the listener; on failure prints why and returns false.
    bool listen();
    void add_client(HubClient *c) { clients_.push_back(c); }
    void remove_client(HubClient *c);

    Agent *find(uint64_t serial);
    const Agent *find(uint64_t serial) const;
    // Agents whose name is wanted; failing that, whose id is; in connection order.
    std::vector<Agent *> match(const std::string &wanted);
    // Greeted agents in connection order.
    template <typename Fn> void for_each_agent(Fn fn) const {
        for (auto &[serial, a] : agents_)
            if (a->greeted && !a->closed) fn(*a);
    }
    size_t agent_count() const { return greeted_count_; }
    // Agents connect to this hub only once the server is up, so selecting
    // "every agent" at once would miss those between connections.
    bool gather_before_selecting() const { return true; }
    // Whether greet() looks up each agent's pid and uid. Off by default: the
    // pid lookup reads /proc, which for thousands of agents costs more than
    // all else the hub does for them.
    void set_owner_lookup(bool on) { owner_lookup_ = on; }

    // A fresh id for submit(), known to the client before anything is sent.
    RequestId new_request_id() { return next_request_++; }
    // Queues line for the agent; it is sent when the commands ahead are done.
    void submit(HubClient *c, Agent &a, RequestId id, const std::string &line, bool quiet);
    const Request *find_request(RequestId id) const;
    void answer(RequestId id, std::string_view reply);
    // The client stops waiting: a queued request is removed, a running one
    // finishes on the agent with its output dropped and its prompts answered
    // empty (an open prompt at once).
    void abandon(RequestId id);
    // The client's congested() may have changed.
    void congestion_changed(HubClient *c);

    void say_goodbye(); // BYE to every greeted agent
    void reap();        // frees agents closed since the last call
    void close_all();

  private:
    void on_listener(uint32_t events);
    void accept_agents();
    void pause_accepting();
    void on_agent_events(uint64_t serial, uint32_t events);
    void read_agent(Agent &a);
    void flush_agent(Agent &a);
    void update_interest(Agent &a);
    bool readable(const Agent &a) const;
    void handle_frame(Agent &a, Frame &f);
    void greet(Agent &a, const Frame &f);
    void on_output(Agent &a, const Frame &f);
    void on_prompt(Agent &a, const Frame &f);
    void on_done(Agent &a, const Frame &f);
    void dispatch_next(Agent &a);
    void send_to(Agent &a, uint16_t type, uint32_t req_id, std::string_view payload = {});
    void drop_agent(Agent &a, const std::string &why, Notice kind = Notice::kInfo);
    void index(Agent &a);
    void unindex(Agent &a);
    Request *locate(RequestId id, Agent **agent);
    void hub_notice(Notice kind, const std::string &text);

    EventLoop &loop_;
    uint16_t port_;
    UniqueFd listener_;
    bool accept_paused_ = false;
    std::map<uint64_t, std::unique_ptr<Agent>> agents_;
    std::multimap<std::string, uint64_t> by_name_;
    std::multimap<uint32_t, uint64_t> by_id_;
    std::map<RequestId, uint64_t> request_agent_; // live requests -> agent serial
    std::unordered_set<uint64_t> busy_;           // agents with a command sent
    std::vector<uint64_t> closed_;
    std::vector<HubClient *> clients_;
    OwnerLookup owners_;
    bool owner_lookup_ = false;
    size_t greeted_count_ = 0;
    uint64_t next_serial_ = 1;
    uint32_t next_req_id_ = 1;
    RequestId next_request_ = 1;
};

} // namespace cliserver

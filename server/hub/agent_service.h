// What an operator client (the console, a script, a fan-out) sees of the
// agents and how it asks them for work. Two implementations: the AgentHub
// itself, when this process holds the agents' port, and DaemonClient, when a
// resident cli-server holds it and this process is one of its clients over
// the Unix socket. The operator code is written once against this interface,
// so a script prints the same bytes and exits with the same status either way.
//
// Threading: single-threaded, on the event loop's thread; callbacks into
// clients run there too and may call back into the service.
#pragma once

#include "core/agent_record.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cliserver {

class RequestOwner;
struct AgentSelector;
class TrustedOwners;

using RequestId = uint64_t;

// One command line for one agent, queued or running.
struct Request {
    RequestId id = 0;
    RequestOwner *client = nullptr;
    uint64_t agent = 0;  // the agent's serial
    uint32_t req_id = 0; // on the wire, once sent
    std::string line;
    bool quiet = false; // nobody is shown its output (no backpressure, no busy notice)
    bool sent = false;
    bool prompt_pending = false;
    bool abandoned = false; // its client gave up: output dropped, prompts answered empty
    // The command's result, once DONE came; none from an agent that does
    // not report results.
    std::optional<int32_t> result;
    // The resident server's access policy refused it (it never reached the
    // agent): the line that says so.
    std::optional<std::string> denied;
    static Request make(RequestOwner *client, uint64_t agent, RequestId id, const std::string &line,
                        bool quiet) {
        Request r;
        r.id = id;
        r.client = client;
        r.agent = agent;
        r.line = line;
        r.quiet = quiet;
        return r;
    }
};

// An agent as operators know it: its record and how far its connection got.
struct AgentView : AgentRecord {
    bool greeted = false;
    bool said_hello = false; // its HELLO came, though it may have been refused
    bool closed = false;
    std::vector<std::string> commands; // learned from its help listing, by the operator
};

// What an observer hears of the agents coming and going and of the service
// itself (the resident server's journal wants no more than this).
class AgentEvents {
  public:
    virtual ~AgentEvents() = default;
    virtual void on_agent_greeted(AgentView &a) = 0;
    // The agent is gone (its requests with it, without further callbacks).
    virtual void on_agent_lost(AgentView &a, const std::string &why, Notice kind) = 0;
    virtual void on_hub_notice(Notice kind, const std::string &text) = 0;
    // A notice about one agent (refused, say), for an observer that tells
    // agents' events apart by whose they are (the resident server's journal).
    virtual void on_agent_notice(const AgentView &, Notice kind, const std::string &text) {
        on_hub_notice(kind, text);
    }
};

// What the client whose command it is hears of it.
class RequestOwner {
  public:
    virtual ~RequestOwner() = default;
    virtual void on_output(const Request &r, std::string_view bytes) = 0;
    // True when the client will answer; false makes the hub answer empty.
    virtual bool on_prompt(const Request &r, const std::string &text) = 0;
    virtual void on_done(const Request &r) = 0;
    // While true, agents running this client's visible commands are not read.
    virtual bool congested() const = 0;
    // The request waits behind `ahead` commands (other clients', or an
    // abandoned one of this client's that the agent is still finishing).
    virtual void on_queued(const Request &, size_t /*ahead*/) {}
    // The request is about to go to its agent: false withholds it, and it
    // leaves the queue without further callbacks (the client has told its
    // operator why). The resident server writes its audit record here.
    virtual bool on_sending(const Request &) { return true; }
    // The request has gone to its agent.
    virtual void on_sent(const Request &) {}
    virtual ClientIdentity identity() const { return {getuid(), getpid()}; }
};

// An operator client: it submits commands and hears of the agents.
class HubClient : public AgentEvents, public RequestOwner {};

class AgentService {
  public:
    virtual ~AgentService() = default;

    virtual void add_client(HubClient *c) = 0;
    virtual void remove_client(HubClient *c) = 0;
    // For one that submits nothing and only listens.
    virtual void add_observer(AgentEvents *o) = 0;
    virtual void remove_observer(AgentEvents *o) = 0;

    virtual AgentView *find(uint64_t serial) = 0;
    // The agents of a name or id selector, whoever owns them, in connection
    // order (AgentIndex::match); select_agents() is what front ends call.
    virtual std::vector<AgentView *> match(const AgentSelector &s) = 0;
    // Whose agents a selector without @USER reaches, for this client.
    virtual const TrustedOwners &trusted_owners() const = 0;
    // Greeted agents in connection order.
    virtual void for_each_agent(const std::function<void(const AgentView &)> &fn) const = 0;
    virtual size_t agent_count() const = 0;

    // A fresh id for submit(), known to the client before anything is sent.
    virtual RequestId new_request_id() = 0;
    // Queues line for the agent; it is sent when the commands ahead are done.
    // False when the agent is known to be gone already (nothing is queued).
    virtual bool submit(HubClient *c, AgentView &a, RequestId id, const std::string &line,
                        bool quiet) = 0;
    // Many submits in a row (the start of a fan-out): a service that writes
    // them to a socket of its own may hold them and write them together when
    // the batch ends. Use SubmitBatch.
    virtual void begin_batch() {}
    virtual void end_batch() {}
    // Whether the request has gone to its agent (false once it is finished).
    virtual bool request_sent(RequestId id) const = 0;
    virtual void answer(RequestId id, std::string_view reply) = 0;
    // The client stops waiting: a queued request is removed, a running one
    // finishes on the agent with its output dropped and its prompts answered
    // empty (an open prompt at once).
    virtual void abandon(RequestId id) = 0;
    // The client's --timeout ran out: abandon() it, and where an audit log
    // records how commands end (a resident server's), say it timed out.
    virtual void time_out(RequestId id) { abandon(id); }
    // The client's congested() may have changed.
    virtual void congestion_changed(HubClient *c) = 0;

    // Looks up the processes of agents whose pid is not known yet, where the
    // service finds them itself (the hub, in one pass over /proc); a
    // resident server's client is told them with each agent.
    virtual void resolve_pids() {}
    // Calls done once every agent's process that can be found is known in
    // its view (at once, or when the resident server has answered).
    virtual void find_processes(std::function<void()> done) {
        resolve_pids();
        done();
    }
    // The rows of ls, handed to done (at once, or when the daemon answers).
    virtual void list_agents(std::function<void(std::vector<AgentRow>)> done) = 0;
    // True while agents may still be arriving because the port was opened
    // just now (standalone): a selection by pattern first gathers them.
    virtual bool gathers() const = 0;
    // For the console's greeting: where the agents are reached.
    virtual std::string where() const = 0;
};

// Holds a service's writes for the submits made while it lives.
class SubmitBatch {
  public:
    explicit SubmitBatch(AgentService &s) : s_(s) { s_.begin_batch(); }
    ~SubmitBatch() { s_.end_batch(); }
    SubmitBatch(const SubmitBatch &) = delete;
    SubmitBatch &operator=(const SubmitBatch &) = delete;

  private:
    AgentService &s_;
};

} // namespace cliserver

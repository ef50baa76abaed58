// The least a process in the middle can do: copy a driver's command lines
// from a pipe to a Unix socket and the answers back, one epoll_wait, one
// read and one write per burst. Put between the benchmark's driver and a
// standalone server (whose standard input and output are the socket's other
// end), it stands where a cli-server client stands before a resident
// daemon: the same kinds of hop (pipe, Unix socket, loopback TCP to the
// agent) and the same six process wake-ups per command, with none of the
// work. So its time over the standalone server's is the floor of a design
// with one more process between the operator and the agents.
//
// Threading: the relay is a child process (forked), so its wake-ups are a
// process's, as the client's and daemon's are; the object is used by the
// thread that made it.
#pragma once

#include <sys/types.h>

namespace bench {

class RelayProcess {
  public:
    // Relays between two new pipes (in(), out()) and `socket`, which the
    // child keeps; the caller closes its copy once it has handed the other
    // end on.
    explicit RelayProcess(int socket);
    ~RelayProcess();
    RelayProcess(const RelayProcess &) = delete;
    RelayProcess &operator=(const RelayProcess &) = delete;

    int in() const { return in_; }   // write command lines here
    int out() const { return out_; } // read the answers here
    pid_t pid() const { return pid_; }

  private:
    int in_ = -1, out_ = -1;
    pid_t pid_ = -1;
};

} // namespace bench

#!/usr/bin/env python3
"""example_host.py - an asyncio service with a command line through cli_agent.

The service keeps a key-value store that only its event loop touches and a
queue of jobs that the loop works off. Commands:

  status                 uptime, store size, jobs done
  echo WORDS...          the words, one space apart
  get KEY / set KEY VAL  read or change the store (through the event loop)
  job [-n COUNT] [-d MS] runs COUNT jobs on the loop and waits for them
  clear                  empties the store after confirmation
  fail                   raises, to show how an exception ends a command

Usage: example_host.py [ID [NAME]]   (defaults: 1 and "pydemo")
It runs until SIGINT or SIGTERM. Set CLI_AGENT_LIBRARY if libcli_agent is
not on the loader path.

Threading: handlers run on the agent thread, not on the loop. Everything
that touches the store goes through asyncio.run_coroutine_threadsafe and
waits for the result; the loop keeps serving meanwhile.
"""

import asyncio
import signal
import sys
import time

import cli_agent

HANDOFF_TIMEOUT = 10  # seconds a handler waits for the event loop


class Service:
    def __init__(self, loop):
        self.loop = loop
        self.store = {"level": "3"}
        self.jobs_done = 0
        self.started = time.monotonic()

    def on_loop(self, coro):
        """Runs coro on the event loop from the agent thread; its result."""
        return asyncio.run_coroutine_threadsafe(coro, self.loop).result(HANDOFF_TIMEOUT)

    async def get(self, key):
        return self.store.get(key)

    async def set(self, key, value):
        self.store[key] = value

    async def clear(self):
        n = len(self.store)
        self.store.clear()
        return n

    async def run_jobs(self, count, delay_ms):
        async def one(i):
            await asyncio.sleep(delay_ms / 1000)
            self.jobs_done += 1
            return i * i

        return await asyncio.gather(*(one(i) for i in range(count)))


def add_commands(agent, svc):
    @agent.command("status", "uptime, store size, jobs done")
    def status(args):
        cli_agent.print(f"service: up {time.monotonic() - svc.started:.0f} s\n")
        size = svc.on_loop(asyncio.sleep(0, len(svc.store)))
        cli_agent.print_buffered(f"keys:      {size}\njobs done: {svc.jobs_done}\n")

    @agent.command("echo", "print the arguments")
    def echo(args):
        cli_agent.print_buffered(" ".join(args[1:]) + "\n")

    @agent.command("get", "show one key")
    def get(args):
        if len(args) != 2:
            cli_agent.usage_error("usage: get KEY")
            return 1
        value = svc.on_loop(svc.get(args[1]))
        cli_agent.print_buffered(f"{args[1]} = {value}\n" if value is not None else "unset\n")

    @agent.command("set", "change one key")
    def set_(args):
        if len(args) != 3:
            cli_agent.usage_error("usage: set KEY VALUE")
            return 1
        svc.on_loop(svc.set(args[1], args[2]))
        cli_agent.print_buffered(f"{args[1]} = {args[2]}\n")

    def job_usage(name):
        cli_agent.print_buffered(f"usage: {name} [-n COUNT] [-d MS]\n")

    @agent.command("job", "run jobs on the event loop", usage=job_usage)
    def job(args):
        count, delay = 3, 10
        for o in cli_agent.options(args, "n:d:"):
            value = cli_agent.param_u32(o.arg) if o.arg is not None else None
            if o.opt not in ("n", "d") or value is None:
                cli_agent.usage_error(o.error or f"bad argument {o.arg!r}")
                return 1
            count, delay = (value, delay) if o.opt == "n" else (count, value)
        results = svc.on_loop(svc.run_jobs(min(count, 1000), min(delay, 5000)))
        cli_agent.print_buffered(f"{len(results)} jobs: {results[:10]}\n")

    @agent.command("clear", "empty the store (asks first)")
    def clear(args):
        answer = cli_agent.input("Clear the store? Type yes to confirm: ")
        if answer is None:
            return 1
        if answer != "yes":
            cli_agent.print_buffered("Not cleared.\n")
            return 0
        cli_agent.print_buffered(f"Cleared {svc.on_loop(svc.clear())} keys.\n")

    @agent.command("fail", "raise an exception")
    def fail(args):
        raise RuntimeError("this command always fails")


async def serve(agent_id, name):
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    agent = cli_agent.Agent(agent_id, name, loop=loop)
    add_commands(agent, Service(loop))
    # A handler may be waiting for this loop: leaving `async with` stops the
    # agent and waits for that handler while the loop goes on serving it.
    async with agent:
        sys.stderr.write(f"example_host.py: agent {name!r} (id {agent_id}) started; stop with Ctrl-C\n")
        await stop.wait()
    sys.stderr.write("example_host.py: stopped\n")


def main(argv):
    agent_id = cli_agent.param_u32(argv[1]) if len(argv) > 1 else 1
    name = argv[2] if len(argv) > 2 else "pydemo"
    if len(argv) > 3 or not agent_id:
        sys.stderr.write("usage: example_host.py [ID [NAME]]  (ID: 1 to 4294967295)\n")
        return 1
    asyncio.run(serve(agent_id, name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

/* cli_agent_loop.h - run a handler's work on the host's own event loop.
 *
 * Handlers run on the agent thread. Whatever belongs to the host's event
 * loop (its connections, tables, timers) may only be touched on the loop's
 * thread, so a handler hands that work over with cli_handoff_call and waits
 * for it. The host adds the hand-off to its loop once: it watches one
 * descriptor (cli_handoff_fd, an eventfd) and calls cli_handoff_dispatch on
 * the loop's thread whenever that descriptor is readable.
 *
 *   static cli_handoff g_handoff;           // cli_handoff_open on the loop thread
 *   // loop: epoll_ctl(ep, EPOLL_CTL_ADD, cli_handoff_fd(&g_handoff), &ev);
 *   //       when it is readable: cli_handoff_dispatch(&g_handoff);
 *
 *   struct count_job { const char *key; long count; };
 *   static void count_on_loop(void *p) {    // runs on the loop thread
 *       struct count_job *j = p;
 *       j->count = table_count(j->key);
 *   }
 *   static int cmd_count(int argc, char **argv) {   // agent thread
 *       struct count_job j = {argc > 1 ? argv[1] : "", 0};
 *       int rc = cli_handoff_call(&g_handoff, count_on_loop, &j, 2000);
 *       if (rc == CLI_HANDOFF_DONE) cli_print("%ld\n", j.count);
 *       else cli_print("the service is busy, try again\n");
 *       return 0;
 *   }
 *
 * The contract of cli_handoff_call, which makes a job on the caller's stack
 * safe whatever the loop does:
 * - the loop runs the job at most once, on the loop's thread;
 * - a time-out that comes before the loop picked the job up withdraws it:
 *   it never runs (CLI_HANDOFF_TIMED_OUT);
 * - once the loop has started the job, the call waits for it to finish,
 *   past the time-out if need be (a running job cannot be taken back);
 * - after the call returns, nothing of the job (function, argument, the
 *   caller's stack) is touched again.
 * So the job and its result live on the handler's stack; nothing is
 * allocated. The time-out bounds the wait for a busy loop, not a job that
 * runs long: keep jobs short.
 *
 * A job cannot talk to the operator: on the loop's thread cli_print and
 * cli_print_buffer write to standard error and cli_get_input fails, as
 * everywhere off the agent thread. The job stores its data in the argument
 * and the handler prints it after the call.
 *
 * Shutdown: cli_handoff_close (any thread, usually the loop's own as it
 * stops) fails every queued and every later call at once with
 * CLI_HANDOFF_CLOSED, so a handler waiting in a call never holds up a
 * shutdown that waits for it (the C++ cli::agent::stop and
 * cli::command::remove do this for their caller's hand-offs). Close before
 * anything that waits for a running handler, such as waiting for the agent
 * thread's last command to end.
 *
 * Threads: cli_handoff_open, cli_handoff_dispatch and cli_handoff_destroy on
 * the loop's thread (the thread that last opened or dispatched is the loop's
 * thread); cli_handoff_call and cli_handoff_close on any thread. A call made
 * on the loop's thread itself (a job that calls again, say) runs the
 * function at once instead of waiting for itself, unless h is closed. Everything is guarded by
 * one mutex, never held while a job runs or while a caller waits. Nothing
 * here is async-signal-safe.
 *
 * Header-only (static inline functions): the library exports nothing for
 * it. Needs POSIX.1-2008 and Linux's eventfd; under a strict -std=c99 or
 * c11 define _POSIX_C_SOURCE 200809L before the first #include. */
#ifndef CLI_AGENT_LOOP_H
#define CLI_AGENT_LOOP_H

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of cli_handoff_call. */
enum {
    CLI_HANDOFF_INVALID = -1,  /* a null hand-off or function */
    CLI_HANDOFF_DONE = 0,      /* the job ran to its end on the loop's thread */
    CLI_HANDOFF_TIMED_OUT = 1, /* the loop did not pick it up in time; it never ran */
    CLI_HANDOFF_CLOSED = 2     /* the loop side is closed; it never ran */
};

typedef void (*cli_handoff_fn)(void *arg);

/* One call waiting for the loop; lives on the caller's stack. */
typedef struct cli_handoff_job {
    cli_handoff_fn fn;
    void *arg;
    struct cli_handoff_job *next;
    int state; /* one of the job states below; guarded by the hand-off's mutex */
} cli_handoff_job;

enum {
    CLI_HANDOFF_JOB_QUEUED,
    CLI_HANDOFF_JOB_RUNNING,
    CLI_HANDOFF_JOB_FINISHED,
    CLI_HANDOFF_JOB_REFUSED
};

/* The loop's side. Fields are private to these functions. */
typedef struct cli_handoff {
    int fd;           /* eventfd, readable while jobs may be queued */
    int closed;       /* calls fail at once */
    unsigned callers; /* calls inside cli_handoff_call, for destroy */
    pthread_t thread; /* the loop's thread */
    pthread_mutex_t lock;
    pthread_cond_t changed; /* a job changed state, or a caller left */
    cli_handoff_job *head;  /* queued jobs, oldest first */
    cli_handoff_job *tail;
} cli_handoff;

/* Sets h up on the loop's thread: 0, or -1 with errno (eventfd, mutex or
 * condition variable could not be made). */
static inline int cli_handoff_open(cli_handoff *h) {
    pthread_condattr_t attr;
    int rc;
    if (h == NULL) {
        errno = EINVAL;
        return -1;
    }
    h->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h->fd < 0) return -1;
    h->closed = 0;
    h->callers = 0;
    h->thread = pthread_self();
    h->head = NULL;
    h->tail = NULL;
    rc = pthread_mutex_init(&h->lock, NULL);
    if (rc == 0) {
        rc = pthread_condattr_init(&attr);
        if (rc == 0) {
            rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
            if (rc == 0) rc = pthread_cond_init(&h->changed, &attr);
            pthread_condattr_destroy(&attr);
        }
        if (rc != 0) pthread_mutex_destroy(&h->lock);
    }
    if (rc != 0) {
        close(h->fd);
        h->fd = -1;
        errno = rc;
        return -1;
    }
    return 0;
}

/* The descriptor the loop watches for reading. */
static inline int cli_handoff_fd(const cli_handoff *h) {
    return h != NULL ? h->fd : -1;
}

/* On the loop's thread when cli_handoff_fd is readable: runs every queued
 * job, oldest first. A spurious call does nothing. */
static inline void cli_handoff_dispatch(cli_handoff *h) {
    uint64_t count;
    if (h == NULL) return;
    /* Drained before the queue is read: a call queued after this read
     * makes the descriptor readable again. */
    if (read(h->fd, &count, sizeof count) < 0) count = 0;
    pthread_mutex_lock(&h->lock);
    h->thread = pthread_self();
    while (h->head != NULL) {
        cli_handoff_job *job = h->head;
        cli_handoff_fn fn = job->fn;
        void *arg = job->arg;
        h->head = job->next;
        if (h->head == NULL) h->tail = NULL;
        job->state = CLI_HANDOFF_JOB_RUNNING;
        pthread_mutex_unlock(&h->lock);
        fn(arg);
        pthread_mutex_lock(&h->lock);
        /* The caller may return as soon as the mutex is released: job is
         * not touched after this. */
        job->state = CLI_HANDOFF_JOB_FINISHED;
        pthread_cond_broadcast(&h->changed);
    }
    pthread_mutex_unlock(&h->lock);
}

/* Fails every queued call and every later one with CLI_HANDOFF_CLOSED, at
 * once; a job already running finishes. 1 if this call closed h, 0 if it
 * was closed already. Any thread. */
static inline int cli_handoff_close(cli_handoff *h) {
    int was_open;
    if (h == NULL) return 0;
    pthread_mutex_lock(&h->lock);
    was_open = !h->closed;
    h->closed = 1;
    while (h->head != NULL) {
        cli_handoff_job *job = h->head;
        h->head = job->next;
        job->state = CLI_HANDOFF_JOB_REFUSED;
    }
    h->tail = NULL;
    pthread_cond_broadcast(&h->changed);
    pthread_mutex_unlock(&h->lock);
    return was_open;
}

/* Accepts calls again after cli_handoff_close. Any thread. */
static inline void cli_handoff_reopen(cli_handoff *h) {
    if (h == NULL) return;
    pthread_mutex_lock(&h->lock);
    h->closed = 0;
    pthread_mutex_unlock(&h->lock);
}

/* 1 when the calling thread is h's loop thread. */
static inline int cli_handoff_on_loop_thread(cli_handoff *h) {
    int here;
    if (h == NULL) return 0;
    pthread_mutex_lock(&h->lock);
    here = pthread_equal(h->thread, pthread_self()) != 0;
    pthread_mutex_unlock(&h->lock);
    return here;
}

/* Removes job from the queue, where it is. */
static inline void cli_handoff_withdraw_(cli_handoff *h, cli_handoff_job *job) {
    cli_handoff_job *prev = NULL;
    cli_handoff_job *at = h->head;
    while (at != NULL && at != job) {
        prev = at;
        at = at->next;
    }
    if (at == NULL) return;
    if (prev == NULL)
        h->head = job->next;
    else
        prev->next = job->next;
    if (h->tail == job) h->tail = prev;
}

/* Waits, holding h->lock, until job has run, was refused, or stayed
 * queued past deadline (then it is withdrawn here). */
static inline int cli_handoff_wait_(cli_handoff *h, cli_handoff_job *job,
                                    const struct timespec *deadline) {
    while (job->state == CLI_HANDOFF_JOB_QUEUED) {
        if (pthread_cond_timedwait(&h->changed, &h->lock, deadline) == ETIMEDOUT &&
            job->state == CLI_HANDOFF_JOB_QUEUED) {
            cli_handoff_withdraw_(h, job);
            job->state = CLI_HANDOFF_JOB_REFUSED;
            return CLI_HANDOFF_TIMED_OUT;
        }
    }
    while (job->state == CLI_HANDOFF_JOB_RUNNING)
        pthread_cond_wait(&h->changed, &h->lock);
    return job->state == CLI_HANDOFF_JOB_FINISHED ? CLI_HANDOFF_DONE : CLI_HANDOFF_CLOSED;
}

/* Runs fn(arg) on the loop's thread and waits for it: CLI_HANDOFF_DONE once
 * it has run to its end; CLI_HANDOFF_TIMED_OUT when the loop did not pick it
 * up within timeout_ms milliseconds (fn never runs); CLI_HANDOFF_CLOSED when
 * the hand-off is closed, or is closed before the loop picks the job up (fn
 * never runs); CLI_HANDOFF_INVALID for a null h or fn. See the contract at
 * the top. Any thread; on the loop's thread fn runs at once. */
static inline int cli_handoff_call(cli_handoff *h, cli_handoff_fn fn, void *arg,
                                   uint32_t timeout_ms) {
    cli_handoff_job job;
    struct timespec deadline;
    uint64_t one = 1;
    int result;
    if (h == NULL || fn == NULL) return CLI_HANDOFF_INVALID;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += (time_t)(timeout_ms / 1000u);
    deadline.tv_nsec += (long)(timeout_ms % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    job.fn = fn;
    job.arg = arg;
    job.next = NULL;
    job.state = CLI_HANDOFF_JOB_QUEUED;

    pthread_mutex_lock(&h->lock);
    if (h->closed) {
        pthread_mutex_unlock(&h->lock);
        return CLI_HANDOFF_CLOSED;
    }
    if (pthread_equal(h->thread, pthread_self())) {
        pthread_mutex_unlock(&h->lock);
        fn(arg);
        return CLI_HANDOFF_DONE;
    }
    ++h->callers;
    if (h->tail != NULL)
        h->tail->next = &job;
    else
        h->head = &job;
    h->tail = &job;
    /* Non-blocking; it fails only when the counter is near 2^64, and then
     * the descriptor is readable already. */
    if (write(h->fd, &one, sizeof one) < 0) one = 0;
    result = cli_handoff_wait_(h, &job, &deadline);
    if (--h->callers == 0 && h->closed) pthread_cond_broadcast(&h->changed);
    pthread_mutex_unlock(&h->lock);
    return result;
}

/* Closes h, waits until every call has left cli_handoff_call (they fail at
 * once, or finish a job that is running on another thread) and frees the
 * descriptor, mutex and condition variable. On the loop's thread, not from
 * inside a job. */
static inline void cli_handoff_destroy(cli_handoff *h) {
    if (h == NULL || h->fd < 0) return;
    cli_handoff_close(h);
    pthread_mutex_lock(&h->lock);
    while (h->callers != 0)
        pthread_cond_wait(&h->changed, &h->lock);
    pthread_mutex_unlock(&h->lock);
    pthread_cond_destroy(&h->changed);
    pthread_mutex_destroy(&h->lock);
    close(h->fd);
    h->fd = -1;
}

#ifdef __cplusplus
}
#endif

#endif /* CLI_AGENT_LOOP_H */

// forktally's process workers: each child counts one slice of the inherited
// array and sends its count through a pipe of its own as one 4-byte record
// (a signed 32-bit integer in host byte order); the parent reads the record
// and checks it before adding it. A parent that gives up on a run ends every
// child it started before it exits, so no process of a failed run outlives it,
// and a parent killed from outside takes its children with it.
//
// Diagnostics go to stderr through warn(3) and warnx(3), prefixed with the
// program's name, but for the "pipe" and "fork" lines of perror(3).
//
// These functions are called by the parent's one thread; none of them may
// run concurrently with another on the same children or pipes.
#pragma once

#include <sys/types.h>
#include <cstdint>

// The child's count: the workload scan over [first, first + length), run in
// the child's one thread (a child starts no threads of its own).
std::int32_t docount(std::int32_t first, std::int32_t length);

// Makes room for the pipes of `workers` workers before the first is created:
// the parent holds one read end per worker until it ends, plus one write end
// while a child is being started, beside the descriptors it already has. When
// the soft RLIMIT_NOFILE is too low it is raised toward the hard limit. When
// even that is too low, reports "W workers need D file descriptors; the
// limit is L" and gives false; nothing is started. The descriptors open are
// counted also where /proc is not mounted.
bool reserve_descriptors(std::int32_t workers);

// Creates a pipe and forks a child that counts its slice, writes its record
// and ends with _exit. Returns the read end to the parent and stores the
// child's process id in *child; the caller must reap the child (wait or
// stop_workers). The child is killed when the calling thread ends, so the
// caller must be the thread that stays until the children are reaped (in
// forktally, its one thread); a child whose parent has already gone ends
// before it counts. Returns -1 after reporting "pipe: reason" or
// "fork: reason" on stderr; no child is left then and *child is untouched.
int launchWorker(std::int32_t first, std::int32_t length, pid_t *child);

// Reads worker p's record from fd into *count. Blocks until the child has
// written 4 bytes or closed its pipe. A record that is short, fails to read
// or holds a count outside 0..length is reported on stderr, naming the
// worker, and gives false: the caller must not print a total then.
bool collect_record(int fd, std::int32_t p, std::int32_t length, std::int32_t *count);

// Ends the children children[0, n), none of which the caller has reaped yet:
// sends each SIGKILL, then waits for each, so that on return none of them
// exists any more, not even as a zombie. Children that had already ended are
// reaped the same way. Blocks only until the killed children are gone.
void stop_workers(const pid_t *children, std::int32_t n);

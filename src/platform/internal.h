// What the platform's files share among themselves, for src/platform only:
// the pieces that are the same on every system and the small primitives
// each system's files give them. posix/internal.h and win/internal.h add
// each system's own helpers (and its Child) on top.

#ifndef LINKWATCH_PLATFORM_INTERNAL_H_
#define LINKWATCH_PLATFORM_INTERNAL_H_

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace lw::platform {

// ---- Disk space seam (file.cc) ----------------------------------------------

// How many of `want` bytes the next file write may store: all of them
// without a limit (set_disk_space_for_testing), else what is left of it
// (0: the disk is full), which is taken.
size_t disk_room(size_t want);
// Gives back `bytes` that a cut-back freed again.
void disk_release(size_t bytes);

// ---- The connection of tcp_exchange_ms (socket.cc over each system's socket.cc)

// A connected socket, non-blocking, with what the system waits on (the
// event object on Windows; unused on POSIX).
struct Connection {
  intptr_t socket = -1;
  intptr_t event = -1;
};

// Connects as tcp_connect_ms does; on kConnected `*connection` is open and
// must be closed with close_connection. A null `connection`: the socket is
// closed before returning (tcp_connect_ms).
ConnectStatus open_connection(const char* address, uint16_t port, uint32_t timeout_ms,
                              Connection* connection, int* error);
void close_connection(Connection* connection);
// One non-blocking send or receive: the bytes moved, 0 when the call would
// block, -1 when the connection is closed, reset or failed.
long send_some(const Connection& connection, const char* data, size_t len);
long receive_some(const Connection& connection, char* out, size_t cap);
// How a wait for the connection ended.
enum class Readiness { kReady, kTimedOut, kStopped, kFailed };
// Waits until the connection may be written (`for_write`) or read, the
// monotonic `deadline` passes, or a stop is requested. kReady may wake
// early: the caller tries again.
Readiness wait_connection(const Connection& connection, bool for_write, uint64_t deadline);

// ---- The child of run_process (process.cc over each system's child.cc) ------

// A started child and this process's ends of its pipes; each system
// defines its own in its internal.h.
struct Child;

// Starts the child with the pipes or devices `request` asks for. False,
// with nothing left open, when no child was started.
bool start_child(const RunRequest& request, Child* child);

// How pump_child ended.
enum class Pumped {
  kDone,      // the child ended and its output pipe reached its end
  kTimedOut,  // the time limit passed first (or waiting failed)
  kStopped,   // a stop was requested and the grace passed first
};

// Feeds the input and drains the output until the child has ended and its
// output pipe has reached its end. A child that ended in time still has its
// remaining output read. A stop request cuts the wait to kStopGraceMs from
// the moment it is seen. Anything but kDone means the child, or something it
// started, is still running.
Pumped pump_child(const RunRequest& request, Child* child);

// With `kill_tree` first ends the child and everything it started; then
// closes our ends and waits for the child. Returns the child's exit code, 1
// when it has none.
int reap_child(Child* child, bool kill_tree);

}  // namespace lw::platform

#endif  // LINKWATCH_PLATFORM_INTERNAL_H_

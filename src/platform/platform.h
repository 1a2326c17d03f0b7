// The operating system behind one small interface. posix/ and win/ implement
// it, one file per concern (process, child, socket, file, service, signal,
// system); what is the same on both lies in src/platform itself (process.cc,
// file.cc) and calls the small per-system pieces declared in internal.h,
// which nothing outside src/platform includes. Nothing outside src/platform
// includes an operating system header or asks which system it runs on.
//
// Every function reports failure through its result; none throws. Texts are
// 8-bit and NUL-terminated; an output buffer of `cap` bytes always ends up
// terminated (cut when the text does not fit) unless `cap` is 0.

#ifndef LINKWATCH_PLATFORM_PLATFORM_H_
#define LINKWATCH_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace lw::platform {

// "Windows" or "Linux": the word of the usage banner.
extern const char kSystemName[];
// "" or ".exe": what an executable's file name ends in.
extern const char kExecutableSuffix[];
// The null device: "nul" or "/dev/null".
extern const char kNullDevice[];
// Line end of a file written in text mode: "\r\n" or "\n".
extern const char kTextLineEnd[];
// Separator of the directories in PATH: ";" or ":".
extern const char kPathListSeparator[];
// Whether files carry POSIX permission bits.
extern const bool kHasPermissionBits;
// Whether replace_file may be refused while another program reads the target.
extern const bool kReplaceRefusedWhileRead;
// Whether the TLS that the system's curl uses checks certificate revocation
// itself (Windows' Schannel), so that curl's --ssl-revoke-best-effort and
// --ssl-no-revoke switches mean something.
extern const bool kTlsChecksRevocation;
// Options of the system ping for one echo request with a 2-second wait,
// placed before the host: {"-n", "1", "-w", "2000"} or {"-c", "1", "-W", "2"}.
extern const char* const kPingOptions[4];

// ---- Sockets -------------------------------------------------------------

// Starts the socket library (Windows Sockets 2.2). Harmless to call twice.
// Returns true on success; on POSIX there is nothing to start.
bool socket_startup();
void socket_cleanup();

// Which address family a resolution or listener is for.
enum class AddressFamily { kAny, kIPv4, kIPv6 };

// One address as numeric text ("192.0.2.1", "2001:db8::1", "fe80::1%eth0").
constexpr size_t kAddressTextSize = 64;
struct Address {
  char text[kAddressTextSize] = "";
  AddressFamily family = AddressFamily::kIPv4;
};

// Resolves `host` (a name or a numeric address without brackets) with the
// system resolver, for IPv4 and IPv6 or only the family asked for. Stores
// at most `max` distinct addresses in the resolver's order (which follows
// the system's address-selection policy) and returns how many; 0 when the
// name does not resolve or has no address of that family. Thread-safe.
int resolve_host(const char* host, AddressFamily family, Address* out, int max);

// Reads `text` as the system resolver reads a numeric IPv4 host, without any
// look-up: besides "a.b.c.d" also the short forms of one to three parts
// ("127.1", "127.0.1", "2130706433") and parts in octal or hexadecimal
// ("0177.0.0.1", "0x7f000001"). Stores the address as "a.b.c.d" in `*out`
// and returns true; false when the system reads the text as no IPv4
// address. Thread-safe.
bool read_ipv4_text(const char* text, Address* out);

// Outcome of one bounded, non-blocking TCP connect attempt.
enum class ConnectStatus {
  kConnected,      // connected (at once or within the wait)
  kTimedOut,       // nothing became ready within the wait
  kSocketFailed,   // no socket could be created
  kConnectFailed,  // connect() failed at once; `error` holds the number
  kWaitFailed,     // the readiness wait itself failed
  kRefused,        // the peer refused the connection
  kPendingError,   // the connect failed later; `error` holds the number
  kStopped,        // a stop was requested (also before the call) while waiting
};

// Makes one TCP connect attempt to the numeric IPv4 or IPv6 address text
// `address` (no name resolution) and `port`, waiting at most `timeout_ms`
// milliseconds. Waits on both the write and the exception set, so a
// refusal is reported at once on every system. The wait also ends at once
// when a stop is requested (request_stop), or was before the call: then
// kStopped, unless the connect has an outcome already. Sends and receives nothing;
// the socket is closed before returning. `*error` (may be null) receives the
// platform's own error number for kConnectFailed and kPendingError, else 0.
// Text that is no numeric address gives kConnectFailed with the number of
// an invalid argument.
ConnectStatus tcp_connect_ms(const char* address, uint16_t port, uint32_t timeout_ms, int* error);
// The same with the wait in whole seconds (0 or less: no wait).
inline ConnectStatus tcp_connect(const char* address, uint16_t port, int timeout_sec, int* error) {
  return tcp_connect_ms(address, port,
                        timeout_sec > 0 ? static_cast<uint32_t>(timeout_sec) * 1000u : 0, error);
}

// What came back over the connection of tcp_exchange_ms.
enum class AnswerStatus {
  kFound,    // `expect` is among the bytes received
  kNothing,  // the time ran out before one byte arrived
  kWithout,  // bytes arrived but not `expect`, until the time ran out or `capacity` was reached
  kClosed,   // the peer closed (or reset) the connection before `expect` arrived
};

// One exchange over a connection: what to send, what to wait for, and where
// the bytes received go.
struct Exchange {
  const char* send = nullptr;  // may hold any byte; `send_length` of them
  size_t send_length = 0;
  const char* expect = "";  // `expect_length` bytes; at least one
  size_t expect_length = 0;
  char* received = nullptr;  // `capacity` bytes: the most that is read
  size_t capacity = 0;
  // Results, valid when the connect succeeded (kConnected).
  size_t received_length = 0;
  AnswerStatus answer = AnswerStatus::kNothing;
};

// Connects as tcp_connect_ms does (same outcomes), then sends
// `exchange->send` and reads until `exchange->expect` is among the bytes
// received, `capacity` bytes have arrived, the peer closes, or the time is
// up: `timeout_ms` bounds the whole exchange, connect included. Returns
// kConnected with `answer` and the bytes received set; kStopped when a stop
// is requested at any point; kWaitFailed when a wait itself fails. The socket
// is closed before returning.
ConnectStatus tcp_exchange_ms(const char* address, uint16_t port, uint32_t timeout_ms,
                              Exchange* exchange, int* error);

// A TCP listener on 127.0.0.1 (kIPv6: on ::1 only), used by tests,
// benchmarks and the example run. False also where the system has no IPv6
// loopback. `*port` 0 asks for any free port and receives the one bound. The
// listener never accepts by itself: with a small backlog and nobody
// accepting, further connection attempts go unanswered.
struct Listener {
  intptr_t handle = -1;
  uint16_t port = 0;
};
bool listen_loopback(uint16_t port, int backlog, Listener* out,
                     AddressFamily family = AddressFamily::kIPv4);
// Accepts one pending connection within `ms` and closes it at once.
bool accept_and_close(Listener* listener, uint32_t ms);
void close_listener(Listener* listener);

// The small servers of tests and benchmarks: a connection accepted within
// `ms` (its handle in `*peer`), whose sends block until the bytes are
// handed to the system.
bool accept_peer(Listener* listener, uint32_t ms, intptr_t* peer);
bool peer_send(intptr_t peer, const char* data, size_t len);
// Waits at most `ms` for bytes from the peer and reads up to `cap` of them:
// their count, 0 when the peer closed or nothing came in time, -1 on a
// failure.
int peer_receive(intptr_t peer, char* out, size_t cap, uint32_t ms);
void close_peer(intptr_t peer);

// ---- Time ----------------------------------------------------------------

// Monotonic milliseconds since some fixed point; never goes backwards.
uint64_t monotonic_ms();

// Converts seconds since the epoch to local time. Thread-safe.
bool local_time(int64_t seconds, std::tm* out);

// Sleeps for `ms` milliseconds.
void sleep_ms(uint32_t ms);

// ---- Orderly stop --------------------------------------------------------

// Installs the handlers that turn Ctrl+C (SIGINT, SIGTERM on POSIX, the
// console control events on Windows) into a stop request, and on POSIX the
// hang-up signal (SIGHUP) into a reload request. On Windows it creates the
// reload event that request_process_reload sets.
void install_stop_handler();
// Sets the stop request and wakes every wait_for_stop(). Async-signal-safe.
void request_stop();
bool stop_requested();
// Waits up to `ms` milliseconds or until a stop is requested; returns true
// when a stop is requested. Also returns false early, at once when called,
// while a reload request is pending: take it with take_reload_request().
// Uses no CPU while waiting.
bool wait_for_stop(uint32_t ms);
// Clears the stop request again. For tests only.
void clear_stop_request();

// True once for each series of reload requests (hang-up signals, the
// reload event, the service manager's parameter-change control) received
// since the previous call, which clears the request; the program goes on
// running.
bool take_reload_request();
// Makes a reload request of this process, as the hang-up signal does.
// Async-signal-safe.
void request_reload();

// How long a child of run_process may go on running once a stop is
// requested (also when the request came before it started) before it is
// ended with everything it started.
constexpr uint32_t kStopGraceMs = 3000;

// ---- Processes -----------------------------------------------------------

uint32_t current_pid();

// The running program's own full path.
bool own_executable_path(char* out, size_t cap);

// True when a process with this id exists and has not ended (a zombie has
// ended). False for 0 and when the process cannot be queried.
bool pid_is_alive(uint32_t pid);

// Asks process `pid` to stop in order, as a termination request or Ctrl+C
// would (SIGTERM on POSIX; on Windows the stop event that
// install_stop_handler gives every process). False when the request cannot
// be delivered: no such process, or on Windows one without a stop event.
bool request_process_stop(uint32_t pid);
// Sends process `pid` its reload request (see take_reload_request): the
// hang-up signal on POSIX, the process's reload event on Windows. False when
// it cannot be delivered (no such process, or one without a reload event).
bool request_process_reload(uint32_t pid);
// Waits up to `ms` milliseconds for process `pid` to end; true once it has
// (or does not exist).
bool wait_process_end(uint32_t pid, uint32_t ms);

enum class TerminateResult { kTerminated, kCannotOpen };
// Ends process `pid` at once (no clean-up runs in it) and waits briefly for
// it to be gone. kCannotOpen when it does not exist or may not be ended.
TerminateResult terminate_process(uint32_t pid);

// Starts `exe` with the single argument `arg` as a detached background
// process: no window, no console, standard streams on the null device, a
// session of its own, the caller's working directory and environment.
// Does not wait for it. Returns true when the process was created.
bool start_detached(const char* exe, const char* arg);

// The computer's name. False when it cannot be read or is empty.
bool computer_name(char* out, size_t cap);

// ---- System service --------------------------------------------------------
//
// On Windows the program registers itself with the service control manager
// as the service "linkwatch" ("linkwatch TCP service monitor"): automatic,
// delayed start, restarted 60 seconds after a failure, with the command line
// `"<program>" -service "<folder>"`, so the folder it runs in is part of the
// registration. On POSIX nothing is registered: the system's service manager
// is set up by hand from a unit text.

enum class ServiceResult {
  kDone,
  kNotSupported,  // this system has no service manager to talk to
  kNoRights,      // the service manager refused: administrator rights needed
  kExists,        // install: a service of this name is registered already
  kNotInstalled,  // no service of this name is registered
  kNotRunning,    // stop: the service is not running
  kTimedOut,      // stop: still not stopped after kServiceStopWaitMs
  kFailed,        // anything else; `*error` holds the system's number
};

// Longest wait for the service to reach the stopped state once asked to
// stop: its orderly stop plus a margin.
constexpr uint32_t kServiceStopWaitMs = 30000;

// Settings that an older or emulated service manager may not know; a
// registration without them still works.
constexpr uint32_t kServiceDelayedStart = 1;       // starts with the others
constexpr uint32_t kServiceRestartOnExitCode = 2;  // restarted after a crash only

// Registers this program as the service, running in `folder` (absolute),
// under LocalSystem when `account` is null, empty or "LocalSystem", else
// under that account (a bare name means a local account) with `password`
// (may be null). On kDone `*missing` (may be null) receives the kService*
// settings the service manager did not take. `*error` (may be null)
// receives the system's error number or 0. A registration whose other
// settings fail is removed again.
ServiceResult install_service(const char* folder, const char* account, const char* password,
                              uint32_t* missing, uint32_t* error);
// Stops the service when it runs (bounded by kServiceStopWaitMs) and removes
// its registration.
ServiceResult uninstall_service(uint32_t* error);
// Asks the service manager to stop the service and waits up to
// kServiceStopWaitMs until it has.
ServiceResult stop_service(uint32_t* error);
// Asks the service manager to pass the running service its
// parameter-change control (a reload request). kNotRunning when it does not
// run; kNotSupported on POSIX.
ServiceResult reload_service(uint32_t* error);
// The process id of the running service; 0 when it is not installed, not
// running, or this system has none.
uint32_t service_pid();

// The body of a service run: receives `context`, returns the exit code.
using ServiceBody = int (*)(void* context);
// Connects this process to the service manager and runs `body` as the
// service: reports it running, turns a stop or shutdown control into
// request_stop() (reporting the stop as pending) and the parameter-change
// control into request_reload(), and reports it stopped
// with the body's exit code. A user logging off stops nothing. Returns
// false at once, without running `body`, when this process was not started
// by the service manager (and always on POSIX).
bool serve_as_service(ServiceBody body, void* context);

// Where the service manager is set up by hand (POSIX): the text of a
// systemd unit that runs `exe` with "-s" in `folder` as `account` (null or
// empty: the user running this, none for root), after comments that say to
// print it with the installed program, how to make a system user of its own
// (`account`, else "linkwatch") owning `folder`, and the commands that
// install and enable it; every line that is no unit setting is a comment,
// so the whole text can be saved as the unit file. False where
// install_service does the work (Windows), or when a path or the account
// cannot be written into a unit or the text does not fit.
bool manual_service_setup(const char* exe, const char* folder, const char* account, char* out,
                          size_t cap);
// The commands that remove what manual_service_setup set up; false where
// uninstall_service does the work.
bool manual_service_removal(char* out, size_t cap);

// ---- Files and environment -----------------------------------------------

// The absolute path of the working directory. False when it cannot be read
// or does not fit.
bool current_directory(char* out, size_t cap);
// Makes `path` the working directory. True on success.
bool change_directory(const char* path);

// Deletes a file. True when it was deleted.
bool delete_file(const char* path);

// Renames `from` over `to` in one step: a reader of `to` sees the old file
// or the new one, never a mix or none. Both must lie on one volume. False
// when the rename failed (on Windows also while another program holds `to`
// open without sharing its deletion); `to` is then unchanged.
bool replace_file(const char* from, const char* to);

// Sets (value non-null) or removes (value null) an environment variable of
// this process; child processes inherit it. Used by tests.
bool set_env(const char* name, const char* value);

// An exclusive lock on a file held for the life of the process, or until
// released. The file is opened (created when missing) without truncation;
// other processes may still read, rewrite and delete it. The lock does not
// pass to child processes.
struct FileLock {
  intptr_t handle = -1;
};
enum class LockResult { kAcquired, kHeldElsewhere, kError };
LockResult lock_file(const char* path, FileLock* lock);
// Replaces the locked file's content with `text`, written the way a
// text-mode file is (each "\n" stored as the platform's line end). True on
// success.
bool rewrite_locked_file(FileLock* lock, const char* text, size_t len);
// Releases the lock and closes the file (the file stays).
void unlock_file(FileLock* lock);

// Appends the `len` bytes at `data` to the file at `path` (created when
// missing, as a text file would be; the bytes are stored as given), in as
// few writes as the system allows, and closes it. When any write fails or
// stores less (a full disk), the file is cut back to where this append
// began, so it never holds part of `data`. True when all of it was stored.
bool append_whole(const char* path, const char* data, size_t len);

// Test seam for a full disk: from now on the platform's file writes
// (append_whole, rewrite_locked_file, and every other write of a file's
// content added to this interface) may store `bytes` more bytes in all;
// a write beyond that stores what is left and then fails as a full disk
// would; what a cut-back removes again is free again. -1 (the start) lifts
// the limit. Thread-safe.
void set_disk_space_for_testing(int64_t bytes);

// ---- Finding programs ----------------------------------------------------

// Longest path of a program found by find_program, terminator included.
constexpr size_t kProgramPathSize = 1024;

struct ProgramLookup {
  char path[kProgramPathSize] = "";     // the program to start; "" when none was found
  char skipped[kProgramPathSize] = "";  // the first command script met on the way, or ""
};

// Looks for the program `name` (no folder, no extension) where users put
// it, in this order: the folder of this program, the working directory,
// then each PATH entry. On Windows each folder is tried with the extensions
// of PATHEXT in their order (".COM;.EXE;.BAT;.CMD" when unset), of which
// only .exe and .com are taken: a .cmd or .bat file runs only through the
// command interpreter, which would read the arguments again. The first such
// script met goes to `skipped` and the search goes on. On POSIX the file
// must be a regular file that may be executed. True when `path` was found.
bool find_program(const char* name, ProgramLookup* out);

// ---- Child processes -----------------------------------------------------

// Receives the child's output, one read (at most RunRequest::read_chunk
// bytes) at a time.
using OutputSink = void (*)(void* context, const char* data, size_t n);

struct RunRequest {
  // Program and arguments, ending with nullptr. argv[0] is looked up on
  // PATH (and, on Windows, with ".exe" appended when it has no extension).
  // The arguments reach the program exactly as given: no command
  // interpreter is involved and nothing in them is interpreted.
  const char* const* argv = nullptr;
  // Bytes written to the child's standard input, which is then closed.
  // nullptr: standard input is the null device.
  const char* input = nullptr;
  size_t input_len = 0;
  // Where standard output and standard error go when `sink` is null:
  // true: the null device; false: inherited from this process.
  bool discard_output = false;
  // When set, standard output and standard error share one pipe whose
  // bytes are handed to `sink`; the pipe is drained to its end.
  OutputSink sink = nullptr;
  void* sink_context = nullptr;
  size_t read_chunk = 511;
  // 0: wait without limit. Otherwise a child still running after this many
  // milliseconds is ended together with every process it started. A stop
  // request shortens the wait to kStopGraceMs from the moment it is seen.
  uint32_t time_limit_ms = 0;
};

// How a run_process call ended.
enum class RunEnd {
  kExited,       // the child ended by itself in time; the result is its exit code
  kStartFailed,  // no child was started (not found, no argv, no resources)
  kTimedOut,     // the time limit passed: the child and everything it started were ended
  kStopped,      // a stop was requested and the child outlasted its grace; it was ended
};

// The result of run_process for both failures.
constexpr int kRunFailed = -1;

// Runs a child hidden (no window) and waits for it. Returns its exit code,
// 1 when the code cannot be read, kRunFailed when it could not be started or
// the time limit or a stop request ended it. `end` (may be null) receives how
// the run ended. A stop request is seen within a fraction of a second, also
// while the child is silent. Output that a child which ended in time left in
// the pipe is still handed to the sink, even when reading it outlasts the
// limit.
//
// Windows: the child and everything it starts run in a job object that ends
// them all when its last handle closes. Only this process holds that handle,
// so no child outlives this process, also when it is ended without any
// clean-up (TerminateProcess, "-stop"); only a start_detached() made by a
// child leaves the job on purpose.
// Linux: the child is ended by the system (SIGKILL) when this process ends,
// also when it is killed without any clean-up (kill -9); what the child
// started in turn is not.
int run_process(const RunRequest& request, RunEnd* end = nullptr);

// Whether the child of run_process ends with this process even when this
// process is ended without any clean-up.
extern const bool kChildEndsWithParent;

// ---- Resource use --------------------------------------------------------

// The most memory this process has had resident at any one time, in bytes;
// 0 when the system does not tell.
size_t peak_resident_bytes();
// Processor time (user and system) this process has used so far, in ms.
uint64_t process_cpu_ms();

}  // namespace lw::platform

#endif  // LINKWATCH_PLATFORM_PLATFORM_H_

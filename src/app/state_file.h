// The state file "linkwatch_state.txt" (`state_file : "1"`): what a
// restart keeps. It holds the alert state of every service, keyed by host
// and port, and the messages the delivery still holds, with their event
// times and channels. It is plain text, one record per line:
//
//   linkwatch state 1
//   saved<TAB>at=1767225600<TAB>local=2026-01-01 00:00:00
//   service<TAB>host=web01<TAB>port=443<TAB>alert_sent=1<TAB>fail_count=1<TAB>...
//   cert<TAB>host=web01<TAB>port=443<TAB>expires=1798399661<TAB>told_days=7<TAB>...
//   message<TAB>channels=email,telegram<TAB>kind=1<TAB>event=...<TAB>subject=...<TAB>...
//   history<TAB>host=web01<TAB>port=443<TAB>since=...<TAB>quarter=...<TAB>cells=<hex>...
//   end<TAB>services=1<TAB>messages=1<TAB>certs=1<TAB>history=1
//
// A "cert" line keeps what a service with `tls` was told of its
// certificate (HostCert); the end line counts them only when there are
// any, so a file without them reads as before.
//
// History lines (and the end line's history count) are there only while
// the run keeps a history (probe/history.h).
//
// Fields are name=value; a value escapes "\" as "\\", tab, line feed and
// carriage return as "\t", "\n", "\r" and other control bytes as "\xHH".
// A line is at most kMaxStateLine bytes. The file is replaced as a whole
// (temporary file, then rename), so a reader sees the old file or the new.

#ifndef LINKWATCH_APP_STATE_FILE_H_
#define LINKWATCH_APP_STATE_FILE_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/host_config.h"
#include "notify/channel.h"
#include "notify/delivery.h"
#include "probe/history.h"

namespace lw {

constexpr const char kStateFileName[] = "linkwatch_state.txt";
constexpr const char kStateBadFileName[] = "linkwatch_state.txt.bad";
constexpr const char kStateVersionLine[] = "linkwatch state 1";
// Longest line, line end excluded; a message whose line would be longer is
// not kept.
constexpr size_t kMaxStateLine = 256 * 1024;
// Largest state file read; a longer one is refused as corrupt.
constexpr size_t kMaxStateFileBytes = 64u * 1024u * 1024u;

struct SavedService {
  std::string host;
  std::string port;
  HostState state;  // down_seen_before_restart is not kept
};

struct SavedCert {
  std::string host;
  std::string port;
  HostCert cert;
};
struct SavedMessage {
  QueuedMessage message;
  uint32_t channels = 0;  // bit c: kChannelRows[c]
};

struct SavedHistory {
  std::string host;
  std::string port;
  int64_t since = 0;  // the first check the history holds
  ServiceHistory history;
};

struct SavedState {
  int64_t saved_at = 0;
  std::vector<SavedService> services;
  std::vector<SavedMessage> messages;
  std::vector<SavedHistory> histories;
  std::vector<SavedCert> certs;
};

// The "service" lines of hosts 1..host_count, then the "cert" lines of
// those with `tls` whose certificate was read, each ended by "\n".
std::string format_state_services(const HostTable& table);
// The "service" lines of services read from a state file.
std::string format_saved_services(const std::vector<SavedService>& services);
// The "message" lines of `held`, each ended by "\n"; a message whose line
// would pass kMaxStateLine is left out and counted in `*left_out` (may be null).
std::string format_state_messages(const std::vector<HeldMessage>& held, size_t* left_out);
// The "history" lines of hosts 1..host_count of a kept `book`, each ended
// by "\n"; "" when the book is not kept.
std::string format_state_history(const HostTable& table, const HistoryBook& book);
// The "history" lines of histories read from a state file.
std::string format_saved_histories(const std::vector<SavedHistory>& histories);
// The whole file: version, saved time, the given lines, the end line with
// the counts of service and message lines (and of history lines, when any).
std::string format_state_file(int64_t saved_at, const std::string& services,
                              const std::string& messages, const std::string& history = "");

// Reads a state file's text (line ends "\n" or "\r\n"). True with `out`
// filled when it is a whole file of this version; false with `error` ("line
// 3: bad escape") for anything else: another version, a line too long, an
// unknown record or field, a bad number or escape, a missing end line or
// counts that differ from the lines.
bool parse_state_file(const char* text, size_t len, SavedState* out, std::string* error);

// Puts the saved states into `table` (after resolve_all_hosts): each saved
// service whose host and port are in the table takes its state back; an
// alerted one is marked down_seen_before_restart (its last failure seen).
// A saved service no longer in the table is dropped with one log line.
// A saved certificate goes back to its service while it still has `tls`.
// Returns how many services took their state back.
int restore_services(const SavedState& saved, HostTable* table);

// Puts the saved histories into a kept `book`, each by its host and port;
// the book's start is the earliest saved one. Returns how many were taken.
int restore_history(const SavedState& saved, const HostTable& table, HistoryBook* book);

// Hands the saved messages back to `delivery` (Delivery::restore) while
// retry_minutes after their events have not run out at `now`; others are
// logged as not delivered. Returns how many went back.
int restore_messages(const SavedState& saved, int retry_minutes, int64_t now, Delivery* delivery);

// Reads kStateFileName from the working folder into `out`. A missing file
// gives an empty state. One that cannot be read, is of another version or
// is corrupt is logged and set aside as kStateBadFileName; `out` is then
// empty. Never fails the run.
void load_state_file(SavedState* out);

// Keeps the state file up to date during a run: the services part after
// every cycle that changed it, the messages part within a second of a
// change of what the delivery holds (a thread of its own watches), and
// both at the stop. Writes are serialised; a failed write is logged once
// until one succeeds.
class StateKeeper {
 public:
  StateKeeper() = default;
  ~StateKeeper();  // ends the watcher as finish() would, without writing
  StateKeeper(const StateKeeper&) = delete;
  StateKeeper& operator=(const StateKeeper&) = delete;

  // Starts watching `delivery` (may be null: then only the services part
  // moves). False when the thread could not be had (then the messages are
  // written only with the services).
  bool start(Delivery* delivery);
  // After a cycle, all its workers joined: writes the file when the
  // services part, or the history lines given (null: as before), differ
  // from the last ones written.
  void after_cycle(const HostTable& table, const std::string* history = nullptr);
  // The stop: ends the watcher and writes the services, `kept` (what
  // Delivery::stop handed over) and the history lines given (null: as before).
  void finish(const HostTable& table, const std::vector<HeldMessage>& kept,
              const std::string* history = nullptr);

  // How many times the file was written (for tests).
  uint64_t writes() const;

 private:
  void watch();
  // Writes the file from the current parts. REQUIRES: mutex_ held.
  void write_locked();

  Delivery* delivery_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
  std::string services_;
  std::string messages_;
  std::string history_;
  uint64_t seen_changes_ = 0;
  uint64_t writes_ = 0;
  bool write_failing_ = false;
};

}  // namespace lw

#endif  // LINKWATCH_APP_STATE_FILE_H_

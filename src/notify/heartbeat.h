// The heartbeat: after a cycle, at most once a minute, one short HTTPS GET to
// an address of a watching service ("dead man's switch"), which raises its
// own alarm when the requests stop coming. A heartbeat is never retried and
// never alerts; its failure is logged once per outage.
//
// The request runs on a thread of its own, so a slow or silent service never
// delays the cycle; it is bounded by curl's --max-time and, as the last
// resort, by the runner's time limit. While one request runs no other starts.

#ifndef LINKWATCH_NOTIFY_HEARTBEAT_H_
#define LINKWATCH_NOTIFY_HEARTBEAT_H_

#include <atomic>
#include <cstdint>
#include <thread>

#include "config/notify_config.h"
#include "support/fixed_text.h"
#include "support/transfer.h"

namespace lw {

// Least time between the starts of two requests.
constexpr int64_t kHeartbeatSpacingSeconds = 60;
// curl gives up connecting, and the whole request, after this many seconds.
constexpr const char kHeartbeatMaxTime[] = "10";
// The runner ends a curl that outlasts its own bound after this long.
constexpr uint32_t kHeartbeatTimeLimitMs = (seconds_in(kHeartbeatMaxTime) + 10) * 1000;

// The curl command of one heartbeat:
//   curl -s --connect-timeout 10 --max-time 10 --proto =https -o <null device>
//        -w "%{http_code}" --config -
// with `url = "<address>"` on standard input, so the address (which names
// the watched job and often is its secret) never shows in a process list.
struct HeartbeatRequest {
  HeartbeatRequest() = default;
  HeartbeatRequest(const HeartbeatRequest&) = delete;
  HeartbeatRequest& operator=(const HeartbeatRequest&) = delete;

  const char* argv[19] = {};
  CurlProgram program;
  FixedText<kHeartbeatUrlSize * 2 + 16 + kCurlConfigExtra> config;
};

// Fills `out`, with the TLS and proxy settings of `curl`; false when `url`
// is not usable (heartbeat_url_usable).
bool build_heartbeat_request(const char* url, HeartbeatRequest* out, const CurlSettings& curl = {});

class Heartbeat {
 public:
  Heartbeat() = default;
  ~Heartbeat();  // wait()
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  // After a cycle at `now`: with `settings.heartbeat_url` set, starts one
  // request when none runs and the last one started kHeartbeatSpacingSeconds
  // or more before `now`. Never waits for a request; when no thread can be
  // had, this beat is skipped. Call from one thread only.
  void after_cycle(const NotifySettings& settings, int64_t now);

  // Waits for a request in flight to end (within its bounds).
  void wait();

 private:
  void request();

  FixedText<kHeartbeatUrlSize> url_;
  FixedText<kCurlSettingSize> cacert_, proxy_;
  const char* revoke_option_ = nullptr;  // a literal
  int64_t last_start_ = 0;
  bool started_once_ = false;
  bool failing_ = false;  // the request thread's; read only after a join
  std::atomic<bool> running_{false};
  std::thread thread_;
};

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_HEARTBEAT_H_

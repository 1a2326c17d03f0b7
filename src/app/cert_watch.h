// The certificate checks of the hosts with `tls`, beside the cycles: one
// background thread runs the checks that are due (probe/cert_check) from a
// snapshot of host, port and mode and posts what it found; the monitoring
// thread takes the findings in after a cycle, so the certificate state
// (HostCert) and its messages stay on that thread. A host is due after the
// first cycle, after a reload and then once a day (a check that could not
// read the chain: again after an hour). With `group_alerts`, that many
// certificate messages or more found together go as one digest.
//
// Stop is bounded: the thread finishes at most the curl call in flight,
// which the runner ends within platform::kStopGraceMs of a stop request
// (without one, within kCertRunLimitMs).

#ifndef LINKWATCH_APP_CERT_WATCH_H_
#define LINKWATCH_APP_CERT_WATCH_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/host_config.h"
#include "probe/cert_check.h"
#include "support/fixed_text.h"

namespace lw {

class MetricsText;  // app/status.h

constexpr int64_t kCertCheckPeriodSeconds = 24 * 3600;
constexpr int64_t kCertRetrySeconds = 3600;

// The words used once when the curl in use cannot print a chain:
// "certificate checks skipped: curl 7.74.0 is older than 7.88".
void format_curl_too_old(const char* version, FixedText<128>* out);

// True when some host of `table` has `tls`.
bool any_tls_host(const HostTable& table);

// Whether the curl in use can run the certificate checks: finds its
// version (bounded) and says once (print and log) when it is too old.
// True also when the version cannot be found (the checks then say why they fail).
bool curl_can_check_certificates(bool print);

struct MonitorRun;

class CertWatch {
 public:
  CertWatch() = default;
  ~CertWatch();
  CertWatch(const CertWatch&) = delete;
  CertWatch& operator=(const CertWatch&) = delete;

  // After a cycle of `run` at `now`: takes in what the thread found (the
  // messages go through the run's delivery like every alert), then hands
  // the due hosts to the thread when it is idle. Starts the thread the
  // first time some host has `tls` and curl can check (checked once).
  void after_cycle(MonitorRun& run, int64_t now);
  // At the start of a run whose hosts have `tls`: finds curl's version
  // once; a curl too old is said (printed too when `print`) and every
  // check of the run is skipped. after_cycle does it (logged only) when
  // a reload brings the first host with `tls`.
  void look_at_curl(bool print);
  // After a reload: every host with `tls` is due again.
  void recheck_all();
  // Ends the thread (see the bound above); the findings not taken are dropped.
  void stop();

 private:
  struct Job {
    CertTarget target;
    FixedText<kCurlSettingSize> cacert, proxy, no_proxy;
    FixedText<32> revoke;
  };
  struct Found {
    CertTarget target;
    CertCheckResult result;
  };
  void work();
  void take_found(MonitorRun& run, int64_t now);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::vector<Found> found_;
  bool stopping_ = false;
  bool busy_ = false;  // a job is running
  std::thread thread_;
  // 0 not looked at yet, 1 curl can check, 2 thread running, -1 skipped.
  int state_ = 0;
  // Next check of each service, keyed by "host:port"; missing: due now.
  std::map<std::string, int64_t> due_;
};

// The status table's certificate lines (only when some host has `tls`):
// "CERTIFICATE" and one line per such host with its days left at `now`,
// its expiry date and subject, appended to `out`.
void append_cert_status(std::string* out, const HostTable& table, int64_t now);

// The gauge linkwatch_cert_expiry_timestamp_seconds{host,port}: when the
// chain of each host with `tls` whose expiry is known expires first.
// Nothing at all when no host has `tls`.
void append_cert_metrics(MetricsText* out, const HostTable& table);

}  // namespace lw

#endif  // LINKWATCH_APP_CERT_WATCH_H_

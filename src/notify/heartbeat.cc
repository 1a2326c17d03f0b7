#include "notify/heartbeat.h"

#include "notify/outcome.h"
#include "platform/platform.h"
#include "support/output.h"
#include "support/runner.h"
#include "support/start_thread.h"
#include "support/transfer.h"

namespace lw {

bool build_heartbeat_request(const char* url, HeartbeatRequest* out, const CurlSettings& curl) {
  out->argv[0] = nullptr;
  out->config.clear();
  if (!url || !heartbeat_url_usable(url)) return false;
  const char* address[] = {url};
  if (!append_curl_config_line(&out->config, "url", address, 1) ||
      !append_curl_proxy(&out->config, curl)) {
    return false;
  }
  const char* argv[] = {out->program.path.c_str(),
                        "-s",
                        "--connect-timeout",
                        kHeartbeatMaxTime,
                        "--max-time",
                        kHeartbeatMaxTime,
                        "--proto",
                        "=https",
                        "-o",
                        platform::kNullDevice,
                        "-w",
                        "%{http_code}",
                        "--config",
                        "-"};
  int n = 0;
  for (const char* arg : argv) out->argv[n++] = arg;
  n += put_curl_tls_switches(out->argv + n, curl);
  out->argv[n] = nullptr;
  static_assert(sizeof argv / sizeof argv[0] + 4 <= sizeof HeartbeatRequest::argv / sizeof(char*));
  return true;
}

Heartbeat::~Heartbeat() { wait(); }

void Heartbeat::after_cycle(const NotifySettings& settings, int64_t now) {
  if (settings.heartbeat_url.empty() || running_) return;
  if (started_once_ && now - last_start_ < kHeartbeatSpacingSeconds) return;
  wait();  // the previous request has ended: join its thread
  url_.assign(settings.heartbeat_url.c_str());
  cacert_.assign(settings.cacert.c_str());
  proxy_.assign(settings.proxy.c_str());
  revoke_option_ = curl_settings(settings).revoke_option;
  running_ = true;
  if (!start_thread(&thread_, &Heartbeat::request, this)) {
    running_ = false;
    return;
  }
  started_once_ = true;
  last_start_ = now;
}

void Heartbeat::wait() {
  if (thread_.joinable()) thread_.join();
}

void Heartbeat::request() {
  HeartbeatRequest request;
  char codes[kCaptureBufferSize];
  codes[0] = '\0';
  RunStatus status = RunStatus::kStartFailed;
  int rc = -1;
  CurlSettings curl;
  curl.cacert = cacert_.c_str();
  curl.proxy = proxy_.c_str();
  curl.revoke_option = revoke_option_;
  if (build_heartbeat_request(url_.c_str(), &request, curl)) {
    Command command;
    command.argv = request.argv;
    command.input = request.config.c_str();
    rc = run_command_capture(command, codes, kHeartbeatTimeLimitMs, &status);
  }
  SendOutcome outcome;
  classify_http(rc, status, codes, &outcome);
  outcome.time_limit_ms = kHeartbeatTimeLimitMs;
  const bool delivered = outcome.delivered;
  if (delivered && failing_) log_event("Heartbeat delivered again");
  if (!delivered && !failing_) {
    // Once per outage; the address is not logged: it may be a secret.
    char detail[128];
    format_http_detail(outcome, DetailStyle::kLog, detail, sizeof detail);
    log_event("Heartbeat failed: %s (logged again only after one got through)", detail);
  }
  failing_ = !delivered;
  running_ = false;
}

}  // namespace lw

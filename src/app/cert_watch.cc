#include "app/cert_watch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "app/monitor.h"
#include "app/status.h"
#include "config/notify_config.h"
#include "notify/alerts.h"
#include "notify/cert_notice.h"
#include "support/output.h"
#include "support/start_thread.h"

namespace lw {

namespace {

std::string key_of(const CertTarget& target) {
  return std::string(target.host.c_str()) + ":" + target.port.c_str();
}

// The slot of the host that `target` was taken from, still with `tls`; 0: gone.
int slot_of(const HostTable& table, const CertTarget& target) {
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    const HostEntry& host = table.hosts[i];
    if (host.tls == target.tls && host.host == target.host.c_str() &&
        host.port == target.port.c_str()) {
      return i;
    }
  }
  return 0;
}

void hand_on(const NotifyMessage& message, int64_t now, MonitorRun& run) {
  hand_on_message(message, now, true, *run.notify, run.delivery);
}

}  // namespace

void format_curl_too_old(const char* version, FixedText<128>* out) {
  out->format("certificate checks skipped: curl %s is older than 7.88", version);
}

bool any_tls_host(const HostTable& table) {
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    if (table.hosts[i].tls != TlsMode::kNone) return true;
  }
  return false;
}

bool curl_can_check_certificates(bool print) {
  int32_t version = 0;
  FixedText<32> text;
  if (!find_curl_version(CurlProgram(), &version, &text)) return true;
  if (version >= kCurlCertChainVersion) return true;
  FixedText<128> words;
  format_curl_too_old(text.c_str(), &words);
  if (print) {
    print_and_log("%s", words.c_str());
  } else {
    log_event("%s", words.c_str());
  }
  return false;
}

CertWatch::~CertWatch() { stop(); }

void CertWatch::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CertWatch::recheck_all() { due_.clear(); }

void CertWatch::work() {
  const CurlProgram program;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    const Job job = jobs_.front();
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    CurlSettings curl;
    curl.cacert = job.cacert.c_str();
    curl.proxy = job.proxy.c_str();
    curl.no_proxy = job.no_proxy.c_str();
    curl.revoke_option = job.revoke.c_str();
    auto found = std::make_unique<Found>();
    found->target = job.target;
    found->result = check_certificate(job.target, program, curl);
    lock.lock();
    busy_ = false;
    if (!stopping_) found_.push_back(*found);
  }
}

void CertWatch::take_found(MonitorRun& run, int64_t now) {
  std::vector<Found> found;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    found.swap(found_);
  }
  std::vector<std::unique_ptr<NotifyMessage>> told;
  for (const Found& one : found) {
    const std::string key = key_of(one.target);
    int64_t next = now + kCertCheckPeriodSeconds;
    const int slot = slot_of(*run.table, one.target);
    if (!one.result.read) {
      next = now + kCertRetrySeconds;
      log_event("Certificate check of %s failed (curl %d); next try in an hour", key.c_str(),
                one.result.curl_code);
    } else if (slot != 0) {
      HostEntry& host = run.table->hosts[slot];
      CertFinding finding;
      finding.read = true;
      finding.expires = one.result.chain.expires;
      finding.cn = one.result.chain.subject_cn;
      finding.trust = one.result.trust;
      finding.reason = one.result.reason;
      const CertOutcome outcome =
          take_cert_finding(&host, finding, cert_days_of(host, *run.settings), now);
      if (outcome.news != CertNews::kNone) {
        told.push_back(new_message());
        compose_cert_message(host, host, outcome.news, outcome.days_left, told.back().get());
      }
      if (outcome.untrusted) {
        told.push_back(new_message());
        compose_cert_untrusted(host, one.result.reason.c_str(), told.back().get());
      }
    }
    due_[key] = next;
  }
  // Many at once (group_alerts): one digest, as for the other alerts.
  auto digest = new_message();
  if (compose_cert_digest(told, run.settings->group_alerts, digest.get())) {
    hand_on(*digest, now, run);
  } else {
    for (const auto& message : told) hand_on(*message, now, run);
  }
}

void CertWatch::look_at_curl(bool print) {
  if (state_ == 0) state_ = curl_can_check_certificates(print) ? 1 : -1;
}

void CertWatch::after_cycle(MonitorRun& run, int64_t now) {
  if (state_ < 0 || !any_tls_host(*run.table)) return;
  look_at_curl(false);
  if (state_ == 1) {
    if (!start_thread(&thread_, &CertWatch::work, this)) {
      log_event("Unable to create the certificate thread: certificate checks are off");
      state_ = -1;
      return;
    }
    state_ = 2;
  }
  if (state_ != 2) return;
  take_found(run, now);
  std::lock_guard<std::mutex> hold(mutex_);
  if (busy_ || !jobs_.empty() || stopping_) return;
  const CurlSettings curl = curl_settings(*run.notify);
  for (int i = 1; i <= run.table->host_count && i <= kMaxHosts; ++i) {
    const HostEntry& host = run.table->hosts[i];
    if (host.tls == TlsMode::kNone || host.port_number == 0 || host.host.empty()) continue;
    Job job;
    job.target.host = host.host;
    job.target.port = host.port;
    job.target.tls = host.tls;
    const auto next = due_.find(key_of(job.target));
    if (next != due_.end() && next->second > now) continue;
    due_[key_of(job.target)] = INT64_MAX;  // handed on; the finding sets the next
    job.cacert.assign(curl.cacert);
    job.proxy.assign(curl.proxy);
    job.no_proxy.assign(curl.no_proxy);
    job.revoke.assign(curl.revoke_option);
    jobs_.push_back(job);
  }
  if (!jobs_.empty()) wake_.notify_one();
}

void append_cert_status(std::string* out, const HostTable& table, int64_t now) {
  if (!any_tls_host(table)) return;
  out->append("\nCERTIFICATE\n");
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    const HostEntry& host = table.hosts[i];
    if (host.tls == TlsMode::kNone) continue;
    FixedText<512> line;
    if (host.cert_expires == 0) {
      line.format("%s:%s not checked yet\n", host.host.c_str(), host.port.c_str());
    } else {
      FixedText<32> date;
      format_cert_date(host.cert_expires, &date);
      line.format("%s:%s %d days left (%s), %s%s\n", host.host.c_str(), host.port.c_str(),
                  cert_days_left(host.cert_expires, now), date.c_str(), host.cert_cn.c_str(),
                  host.cert_untrusted_told ? ", NOT TRUSTED" : "");
    }
    out->append(line.c_str());
  }
}

void append_cert_metrics(MetricsText* out, const HostTable& table) {
  if (!any_tls_host(table)) return;
  out->host_family(table, "linkwatch_cert_expiry_timestamp_seconds", "gauge",
                   "When the host's certificate chain expires first (Unix time).",
                   [&](int i, char* value, size_t size) {
                     const HostEntry& host = table.hosts[i];
                     if (host.tls == TlsMode::kNone || host.cert_expires == 0) return false;
                     std::snprintf(value, size, "%" PRId64, host.cert_expires);
                     return true;
                   });
}

}  // namespace lw

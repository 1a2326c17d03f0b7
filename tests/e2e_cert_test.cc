// Certificate checks with the real curl against TLS servers made here
// (tests/e2e/tls_server.py on 127.0.0.1), through the run's certificate
// thread; and a curl too old for them, with the stand-in.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/monitor.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr const char kPython[] = "/usr/bin/python3";
const std::filesystem::path kServer =
    std::filesystem::path(__FILE__).parent_path() / "e2e" / "tls_server.py";

bool tools_missing() {
  return test::run_program({"--version"}, "curl").first != 0 ||
         test::run_program({"-c", "import cryptography, aiosmtpd"}, kPython).first != 0;
}

void make_cert(int days) {
  ASSERT_EQ(test::run_program({kServer.string(), "make", "c", std::to_string(days)}, kPython).first,
            0);
}

class E2eCertTest : public test::WorkDirTest {
 protected:
  // Starts the server of `mode` for `seconds` (below the 30 s of run_program); the port.
  std::string serve(const char* mode, const char* seconds) {
    server_ = std::jthread([mode, seconds] {
      test::run_program({kServer.string(), mode, "port.txt", "c", seconds}, kPython);
    });
    EXPECT_TRUE(test::eventually([] { return test::file_exists("port.txt"); }));
    platform::sleep_ms(200);
    return std::to_string(to_int(test::read_file("port.txt").c_str()));
  }
  void add_host(const std::string& port, TlsMode tls) {
    run_->table = &table_;
    run_->settings = &settings_;
    run_->notify = &notify_;
    table_.host_count = 1;
    set_host_text(&table_.hosts[1], "127.0.0.1");
    set_port_text(&table_.hosts[1], port.c_str());
    table_.hosts[1].tls = tls;
  }
  // One more check at `now` (after a reload): what it added to the log.
  std::string check_at(int64_t now) {
    const size_t before = test::read_file(kLogFileName).size();
    run_->certs.recheck_all();
    const HostEntry& host = table_.hosts[1];
    EXPECT_TRUE(test::eventually([&] {
      run_->certs.after_cycle(*run_, now);
      return host.cert_checked == now;
    })) << "no finding: "
        << test::read_file(kLogFileName);
    const std::string log = test::read_file(kLogFileName);
    return log.substr(before < log.size() ? before : log.size());
  }

  void TearDown() override {
    run_->certs.stop();
    test::write_file("stop", "");  // the server ends
    if (server_.joinable()) server_.join();
  }

  std::unique_ptr<MonitorRun> run_ = std::make_unique<MonitorRun>();
  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  std::jthread server_;
};

TEST_F(E2eCertTest, ThresholdsExpiryRenewalAndTrustAreEachToldOnce) {
  if (tools_missing()) GTEST_SKIP() << "no real curl (e.g. under wine) or no python3 modules";
  make_cert(30);
  const std::string port = serve("direct", "25");
  add_host(port, TlsMode::kDirect);
  notify_.cacert.assign(std::filesystem::absolute("c.pem").string().c_str());
  test::write_file(kLogFileName, "");
  const std::string service = "127.0.0.1:" + port;
  const struct {
    int days;
    const char* told;  // "": nothing
  } steps[] = {{30, ""},
               {20, "CERTIFICATE: 127.0.0.1:PORT expires in 20 days ("},
               {5, "CERTIFICATE: 127.0.0.1:PORT expires in 5 days ("},
               {-1, "CERTIFICATE EXPIRED: 127.0.0.1:PORT expired on "},
               {90, "CERTIFICATE renewed: 127.0.0.1:PORT now valid until "}};
  int64_t now = now_seconds();
  set_silent_mode(true);
  for (const auto& step : steps) {
    make_cert(step.days);
    std::string told = step.told;
    if (!told.empty()) told.replace(told.find("PORT"), 4, port);
    const std::string first = check_at(++now), again = check_at(++now);
    EXPECT_EQ(test::count_of(first, "CERTIFICATE"), told.empty() ? 0u : 1u) << first;
    EXPECT_NE(first.find(told), std::string::npos) << step.days << ": " << first;
    if (step.days > 0 && step.days < 30) {
      EXPECT_NE(first.find("), cert-" + std::to_string(step.days)), std::string::npos) << first;
    }
    EXPECT_EQ(test::count_of(again, "CERTIFICATE"), 0u) << step.days << ": " << again;
  }
  notify_.cacert.clear();  // the self-signed chain is no longer trusted
  const std::string untrusted = check_at(++now), again = check_at(++now);
  EXPECT_NE(untrusted.find("CERTIFICATE NOT TRUSTED: " + service + ": SSL certificate problem"),
            std::string::npos)
      << untrusted;
  EXPECT_EQ(test::count_of(again, "CERTIFICATE"), 0u) << again;
  set_silent_mode(false);
}

TEST_F(E2eCertTest, SmtpStarttlsChainIsRead) {
  if (tools_missing()) GTEST_SKIP() << "no real curl (e.g. under wine) or no python3 modules";
  make_cert(5);
  const std::string port = serve("smtp", "6");
  add_host(port, TlsMode::kSmtp);
  test::write_file(kLogFileName, "");
  set_silent_mode(true);
  const std::string told = check_at(now_seconds());
  set_silent_mode(false);
  EXPECT_NE(told.find("CERTIFICATE: 127.0.0.1:" + port + " expires in 5 days ("), std::string::npos)
      << told;
  EXPECT_NE(told.find("CERTIFICATE NOT TRUSTED: 127.0.0.1:" + port), std::string::npos) << told;
}

TEST_F(E2eCertTest, OldCurlSkipsTheChecksAndSaysSoOnce) {
  test::ScopedFakeTools tools(work_dir(), {"curl"}, {{"LW_FAKE_CURL_VERSION", "7.74.0"}});
  test::write_file(kHostFileName,
                   "interval : \"15\"\nfast_retry_interval : \"3\"\n"
                   "host : \"127.0.0.1\"\nport : \"443\"\ntls : \"direct\"\n");
  test::write_file(kNotifyFileName, "");
  const std::string out = test::run_program({"-check"}).second;
  EXPECT_EQ(test::count_of(out, "certificate checks skipped: curl 7.74.0 is older than 7.88\n"), 1u)
      << out;
}

}  // namespace
}  // namespace lw

// Certificate checks by the run's certificate thread and the real curl against
// tests/e2e/tls_server.py on 127.0.0.1; a curl too old, with the stand-in.

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
const std::string kServer =
    (std::filesystem::path(__FILE__).parent_path() / "e2e" / "tls_server.py").string();

class E2eCertTest : public test::WorkDirTest {
 protected:
  bool tools_missing() {
    return test::run_program({"--version"}, "curl").first != 0 ||
           test::run_program({"-c", "import cryptography, aiosmtpd"}, kPython).first != 0;
  }
  void make_cert(int days) {
    ASSERT_EQ(test::run_program({kServer, "make", "c", std::to_string(days)}, kPython).first, 0);
  }
  // The server of `mode` (for at most 25 s, within run_program's 30) and
  // host 1 on its port; the port.
  std::string serve(const char* mode, TlsMode tls) {
    server_ = std::jthread([mode] { test::run_program({kServer, mode, "p", "c", "25"}, kPython); });
    EXPECT_TRUE(test::eventually([] { return test::file_exists("p"); }));
    platform::sleep_ms(200);
    run_->table = &table_, run_->settings = &settings_, run_->notify = &notify_;
    table_.host_count = 1;
    set_host_text(&table_.hosts[1], "127.0.0.1");
    set_port_text(&table_.hosts[1], std::to_string(to_int(test::read_file("p").c_str())).c_str());
    table_.hosts[1].tls = tls;
    test::write_file(kLogFileName, "");
    return table_.hosts[1].port.c_str();
  }
  // One more check at `now` (as after a reload): what it added to the log.
  std::string check_at(int64_t now) {
    const size_t before = test::read_file(kLogFileName).size();
    run_->certs.recheck_all();
    EXPECT_TRUE(test::eventually([&] {
      run_->certs.after_cycle(*run_, now);
      return table_.hosts[1].cert_checked == now;
    })) << test::read_file(kLogFileName);
    return test::read_file(kLogFileName).substr(before);
  }
  void TearDown() override {
    run_->certs.stop();
    test::write_file("stop", "");  // the server ends
  }

  std::unique_ptr<MonitorRun> run_ = std::make_unique<MonitorRun>();
  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  std::jthread server_;
};

// A real chain's expiry and name, each told once (in full: CertNoticeTest).
TEST_F(E2eCertTest, ThresholdsAndExpiryAreEachToldOnce) {
  if (tools_missing()) GTEST_SKIP() << "no real curl (e.g. under wine) or no python3 modules";
  make_cert(30);
  const std::string service = "127.0.0.1:" + serve("direct", TlsMode::kDirect);
  notify_.cacert.assign(std::filesystem::absolute("c.pem").string().c_str());
  const std::pair<int, std::string> steps[] = {
      {30, ""},
      {5, "CERTIFICATE: " + service + " expires in 5 days ("},
      {-1, "CERTIFICATE EXPIRED: " + service + " expired on "}};
  int64_t now = now_seconds();
  set_silent_mode(true);
  for (const auto& [days, told] : steps) {
    make_cert(days);
    const std::string first = check_at(++now), again = check_at(++now);
    EXPECT_EQ(test::count_of(first, "CERTIFICATE"), told.empty() ? 0u : 1u) << first;
    EXPECT_NE(first.find(told), std::string::npos) << days << ": " << first;
    EXPECT_TRUE(days < 1 || days > 29 ||
                first.find("), cert-" + std::to_string(days)) != std::string::npos);
    EXPECT_EQ(test::count_of(again, "CERTIFICATE"), 0u) << days << ": " << again;
  }
  set_silent_mode(false);
}

// Over STARTTLS, without the certificate's authority: the chain and its trust.
TEST_F(E2eCertTest, SmtpStarttlsChainIsRead) {
  if (tools_missing()) GTEST_SKIP() << "no real curl (e.g. under wine) or no python3 modules";
  make_cert(5);
  const std::string service = "127.0.0.1:" + serve("smtp", TlsMode::kSmtp);
  set_silent_mode(true);
  const std::string told = check_at(now_seconds());
  set_silent_mode(false);
  EXPECT_NE(told.find("CERTIFICATE: " + service + " expires in 5 days ("), std::string::npos)
      << told;
  EXPECT_NE(told.find("CERTIFICATE NOT TRUSTED: " + service + ": SSL certificate problem"),
            std::string::npos)
      << told;
}

TEST_F(E2eCertTest, OldCurlSkipsTheChecksAndSaysSoOnce) {
  test::ScopedFakeTools tools(work_dir(), {"curl"}, {{"LW_FAKE_CURL_VERSION", "7.74.0"}});
  test::write_file(
      kHostFileName,
      "interval : \"15\"\nfast_retry_interval : \"3\"\nhost : \"127.0.0.1\"\nport : \"443\"\n"
      "tls : \"direct\"\n");
  const std::string out = test::run_program({"-check"}).second;
  EXPECT_EQ(test::count_of(out, "certificate checks skipped: curl 7.74.0 is older than 7.88\n"), 1u)
      << out;
}

}  // namespace
}  // namespace lw

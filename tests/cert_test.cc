// curl's chain text read, the message each look at a chain gives, and the run's
// certificate thread with the real curl against tests/e2e/tls_server.py.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/monitor.h"
#include "notify/cert_notice.h"
#include "probe/cert_text.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

TEST(CertTextTest, ChainGivesCountEarliestExpiryAndItsName) {
  // curl's text, then parsed, count, earliest expiry and its name.
  const std::tuple<const char*, bool, int, int64_t, const char*> cases[] = {
      {"1\nSubject:CN = web.example\nStart date:Dec  1 00:00:00 2026 GMT\n"
       "Expire date:Dec 27 19:27:41 2026 GMT\n",
       true, 1, 1798399661, "web.example"},
      {"1\r\nSubject:CN=web.example\r\nExpire date:2026-12-27 19:27:41 GMT\r\n", true, 1,
       1798399661, "web.example"},
      {"3\nSubject:CN = leaf\nExpire date:Mar  1 00:00:00 2027 GMT\n"
       "Subject:C = US, O = Some CA, CN = Middle CA\nExpire date:Dec  8 05:17:40 2026 GMT\n"
       "Subject:CN = root\nExpire date:2027-03-01 00:00:00 GMT\n",
       true, 3, 1796707060, "Middle CA"},
      {"2\nSubject:CN = cut\nExpire date:Dec 20 10:00:00 2026 GMT\nSubject:CN = rest", true, 2,
       1797760800, "cut"},
      {"1\nSubject:O = no name\nExpire date:Dec 20 10:00:00 2026 GMT\n", true, 1, 1797760800, ""},
      {"curl: (52) Empty reply from server\n1\nSubject:CN = x\n"
       "Expire date:Dec 20 10:00:00 2026 GMT\n",
       true, 1, 1797760800, "x"},
      {"0\n", false, 0, 0, ""},
      {"", false, 0, 0, ""},
      {"<html>502 Bad Gateway</html>", false, 0, 0, ""},
      {"1\nSubject:CN = x\nStart date:Dec  1 00:00:00 2026 GMT\n", false, 1, 0, ""},
      {"1\nExpire date:Dex 20 10:00:00 2026 GMT\n", false, 1, 0, ""},
      {"1\nExpire date:Dec 20 25:00:00 2026 GMT\n", false, 1, 0, ""},
      {"1\nExpire date:2026-13-20 10:00:00 GMT\n", false, 1, 0, ""},
      {"1\nExpire date:Dec 20 10:00:00 2026\n", false, 1, 0, ""},
      {"1x\nExpire date:Dec 20 10:00:00 2026 GMT\n", false, 0, 0, ""},
  };
  for (const auto& [text, ok, count, expires, cn] : cases) {
    CertChain chain;
    EXPECT_EQ(parse_cert_chain(text, std::strlen(text), &chain), ok) << text;
    EXPECT_EQ(std::tuple(chain.count, chain.expires), std::tuple(count, expires)) << text;
    EXPECT_STREQ(chain.subject_cn.c_str(), cn) << text;
  }
}

TEST(CertTextTest, CurlVersionLine) {
  for (const auto& [line, want, shown] :
       {std::tuple{"curl 7.88.1 (x86_64-pc-linux-gnu) libcurl/7.88.1", 78801, "7.88.1"},
        {"curl 8.10 (Windows)", 81000, "8.10.0"},
        {"curl: (6) Could not resolve", 0, ""}}) {
    int32_t version = 0;
    FixedText<32> text;
    EXPECT_EQ(parse_curl_version(line, &version, &text), want != 0) << line;
    EXPECT_EQ(version, want) << line;
    EXPECT_STREQ(text.c_str(), shown) << line;
  }
}

// One host's looks at its chain in order: what, whether the host was never
// told anything, expiry, trust, then the subjects of the notice and of the
// untrusted message ("": none).
TEST(CertNoticeTest, ThresholdsExpiryRenewalAndTrustAreToldOnce) {
  constexpr int64_t kNow = 1796707060;  // 2026-12-08 05:17:40 UTC
  constexpr int64_t kDay = 86400;
  const std::tuple<const char*, bool, int64_t, int32_t, const char*, const char*> steps[] = {
      {"30 days: nothing yet", true, kNow + 30 * kDay + 60, 0, "", ""},
      {"20 days: the 21 day warning", false, kNow + 20 * kDay + 60, 0,
       "CERTIFICATE: web:443 expires in 20 days (2026-12-28), web.example", ""},
      {"19 days: no repeat", false, kNow + 19 * kDay + 60, 1, "", ""},
      {"5 days: the 7 day warning", false, kNow + 5 * kDay + 60, 0,
       "CERTIFICATE: web:443 expires in 5 days (2026-12-13), web.example", ""},
      {"expired", false, kNow - kDay, -1,
       "CERTIFICATE EXPIRED: web:443 expired on 2026-12-07, web.example", ""},
      {"still expired: no repeat, not called untrusted", false, kNow - 2 * kDay, -1, "", ""},
      {"renewed", false, kNow + 90 * kDay, 1,
       "CERTIFICATE renewed: web:443 now valid until 2027-03-08", ""},
      {"first look at 5 days: one message, the lowest", true, kNow + 5 * kDay + 60, 0,
       "CERTIFICATE: web:443 expires in 5 days (2026-12-13), web.example", ""},
      {"then 4 days: nothing", false, kNow + 4 * kDay + 60, 0, "", ""},
      {"renewed to 15 days: renewal only", false, kNow + 15 * kDay, 0,
       "CERTIFICATE renewed: web:443 now valid until 2026-12-23", ""},
      {"14 days: 21 counts as told", false, kNow + 14 * kDay, 0, "", ""},
      {"untrusted", false, kNow + 14 * kDay, -1, "",
       "CERTIFICATE NOT TRUSTED: web:443: self-signed certificate"},
      {"untrusted again: no repeat", false, kNow + 14 * kDay, -1, "", ""},
      {"trusted, then untrusted again: told again", false, kNow + 14 * kDay, 1, "", ""},
      {"", false, kNow + 14 * kDay, -1, "",
       "CERTIFICATE NOT TRUSTED: web:443: self-signed certificate"},
  };
  HostConfig host;
  host.host.assign("web");
  set_port_text(&host, "443");
  CertDays days;
  ASSERT_TRUE(parse_cert_days("21,7", &days));
  HostCert cert;
  auto message = new_message();
  for (const auto& [what, fresh, expires, trust, want, want_untrusted] : steps) {
    if (fresh) cert = HostCert{};
    const CertFinding finding{true, expires, FixedText<128>("web.example"), trust,
                              FixedText<256>("self-signed certificate")};
    const CertOutcome outcome = take_cert_finding(&cert, finding, days, kNow);
    std::string subject, untrusted;
    if (outcome.news != CertNews::kNone) {
      compose_cert_message(host, cert, outcome.news, outcome.days_left, message.get());
      subject = message->subject.c_str();
      EXPECT_EQ(message->kind, kCertNotice);
    }
    if (outcome.untrusted) {
      compose_cert_untrusted(host, finding.reason.c_str(), message.get());
      untrusted = message->subject.c_str();
    }
    EXPECT_EQ(subject, want) << what;
    EXPECT_EQ(untrusted, want_untrusted) << what;
  }
}

// Four certificate messages at once: one digest from group_alerts 4 on, none below.
TEST(CertNoticeTest, ManyAtOnceMakeOneDigest) {
  std::vector<std::unique_ptr<NotifyMessage>> told;
  HostConfig host;
  set_port_text(&host, "443");
  for (const char* name : {"a", "b", "c", "d"}) {
    host.host.assign(name);
    told.push_back(new_message());
    compose_cert_untrusted(host, "why", told.back().get());
  }
  auto digest = new_message();
  EXPECT_FALSE(compose_cert_digest(told, 5, digest.get()) ||
               compose_cert_digest(told, 0, digest.get()));
  ASSERT_TRUE(compose_cert_digest(told, 4, digest.get()));
  EXPECT_STREQ(digest->subject.c_str(),
               "CERTIFICATE: 4 services (a:443, b:443, c:443, ... and 1 more)");
  EXPECT_STREQ(digest->chat_text.c_str(),
               "CERTIFICATE NOT TRUSTED: a:443: why\nCERTIFICATE NOT TRUSTED: b:443: why\n"
               "CERTIFICATE NOT TRUSTED: c:443: why\nCERTIFICATE NOT TRUSTED: d:443: why");
  EXPECT_EQ(digest->services, (std::vector<std::string>{"a:443", "b:443", "c:443", "d:443"}));
}

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

// curl's certificate chain text read, and the message each look at a chain gives.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "notify/cert_notice.h"
#include "probe/cert_text.h"

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

}  // namespace
}  // namespace lw

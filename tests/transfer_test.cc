#include "support/transfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/test_env.h"

namespace lw {
namespace {

TEST(CurlConfigTest, QuotesWhatCouldEndTheValueAndNeverCutsIt) {
  char text[256] = "";
  const char* parts[] = {"a$b\"c%d&e\\f", ":", "l\nn\rc\tt\v", nullptr};
  ASSERT_TRUE(append_curl_config_line(text, sizeof text, "user", parts, 4));
  const char* tail[] = {"end\\"};  // a trailing backslash cannot escape the closing quote
  ASSERT_TRUE(append_curl_config_line(text, sizeof text, "url", tail, 1));
  EXPECT_STREQ(text, "user = \"a$b\\\"c%d&e\\\\f:l\\nn\\rc\\tt\v\"\nurl = \"end\\\\\"\n");

  const char* quoted[] = {"ab\"c"};  // user = "ab\"c"\n: 16 characters
  char exact[17] = "";
  EXPECT_TRUE(append_curl_config_line(exact, sizeof exact, "user", quoted, 1));
  char small[16] = "keep";
  EXPECT_FALSE(append_curl_config_line(small, sizeof small, "user", quoted, 1));
  EXPECT_STREQ(small, "keep");
}

// The curl a run uses, as "-test" of a copied program reports it: beside the program first, then
// the working folder, then PATH in its order. What cannot be started is passed over: on Windows
// a .cmd (with a log line that says why), on POSIX a file without the execute bit.
class CurlLookupTest : public test::WorkDirTest {};

TEST_F(CurlLookupTest, CurlIsFoundBesideTheProgramInTheWorkingFolderThenOnPath) {
  namespace fs = std::filesystem;
  const std::string exe = platform::kExecutableSuffix;
  for (const char* dir : {"prog", "cwd", "bin1", "bin2"}) fs::create_directory(dir);
  fs::copy_file(test::program_path("linkwatch"), "prog/linkwatch" + exe);
  test::write_file("cwd/linkwatch_host.txt",
                   "interval : \"60\"\nhost : \"127.0.0.1\"\nport : \"1\"\n");
  const std::string curl = "curl" + exe;
  const std::string path = (work_dir() / "bin1").string() + platform::kPathListSeparator +
                           (work_dir() / "bin2").string();
  // A script or a file that may not be run, placed where the search meets it before bin2.
  const std::string unusable = exe.empty() ? "bin1/curl" : "bin1/curl.cmd";
  const struct {
    std::vector<std::string> copies;
    std::string used;  // folder of the curl used; "" for none
  } cases[] = {
      {{"prog/" + curl, "cwd/" + curl, "bin2/" + curl}, "prog"},
      {{"cwd/" + curl, "bin2/" + curl}, "cwd"},
      {{"bin2/" + curl}, "bin2"},
      {{}, ""},
  };
  const char* saved = std::getenv("PATH");
  const std::string saved_path = saved ? saved : "";
  ASSERT_TRUE(platform::set_env("PATH", path.c_str()));
  for (const auto& c : cases) {
    for (const char* dir : {"prog", "cwd", "bin1", "bin2"}) fs::remove(fs::path(dir) / curl);
    for (const std::string& copy : c.copies) fs::copy_file(test::program_path("lw_testtool"), copy);
    test::write_file(unusable, "@echo off\n");
    ASSERT_TRUE(platform::change_directory((work_dir() / "cwd").string().c_str()));
    const auto [rc, out] =
        test::run_program({"-test"}, (work_dir() / "prog" / ("linkwatch" + exe)).string());
    ASSERT_TRUE(platform::change_directory(work_dir().string().c_str()));
    const std::string want =
        c.used.empty() ? "curl: not found beside linkwatch, in the working folder or on PATH"
                       : "curl: " + (work_dir() / c.used / curl).make_preferred().string() +
                             ", curl 8.99.0 (stand-in) test tool\n";
    EXPECT_NE(out.find(want), std::string::npos) << c.used << "\n" << out;
    const bool skip_logged =
        out.find("curl.cmd is skipped: a .cmd or .bat file runs only") != std::string::npos;
    EXPECT_EQ(skip_logged, !exe.empty() && (c.used == "bin2" || c.used.empty())) << out;
  }
  platform::set_env("PATH", saved_path.c_str());
}

}  // namespace
}  // namespace lw

#include "fuzz_util.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "support/environment.h"

namespace lw::fuzz {

namespace fs = std::filesystem;

void enter_private_folder(const char* harness) {
  char name[96];
  std::snprintf(name, sizeof name, "lwfuzz-%s-%u", harness,
                static_cast<unsigned>(platform::current_pid()));
  const fs::path dir = fs::temp_directory_path() / name;
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::current_path(dir, ec);
  std::FILE* null_out = std::fopen(platform::kNullDevice, "w");
  Environment env = current_environment();
  env.out = env.err = null_out;
  replace_environment(env);
}

void put_file(const char* name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string get_file(const char* name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace lw::fuzz

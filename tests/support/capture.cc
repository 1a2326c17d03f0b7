#include "support/capture.h"

#include "support/output.h"

namespace lw::test {

namespace {
std::string read_all(std::FILE* f) {
  std::string text;
  if (!f) return text;
  std::fflush(f);
  long end = std::ftell(f);
  std::rewind(f);
  text.resize(end > 0 ? static_cast<size_t>(end) : 0);
  size_t got = std::fread(text.data(), 1, text.size(), f);
  text.resize(got);
  std::fseek(f, 0, SEEK_END);
  return text;
}
}  // namespace

// Binary streams: the text comes back byte for byte on every platform.
OutputCapture::OutputCapture() : out_(std::tmpfile()), err_(std::tmpfile()) {
  set_output_streams_for_testing(out_, err_);
}

OutputCapture::~OutputCapture() {
  set_output_streams_for_testing(nullptr, nullptr);
  if (out_) std::fclose(out_);
  if (err_) std::fclose(err_);
}

std::string OutputCapture::out() const { return read_all(out_); }
std::string OutputCapture::err() const { return read_all(err_); }

}  // namespace lw::test

#include "support/capture.h"

#include <algorithm>

#include "support/output.h"

namespace lw::test {

// Binary streams: the text comes back byte for byte on every platform.
OutputCapture::OutputCapture() : out_(std::tmpfile()), err_(std::tmpfile()) {
  set_output_streams_for_testing(out_, err_);
}

OutputCapture::~OutputCapture() {
  set_output_streams_for_testing(nullptr, nullptr);
  if (out_) std::fclose(out_);
  if (err_) std::fclose(err_);
}

std::string OutputCapture::read_all(std::FILE* f) {
  std::string text;
  if (!f || std::fflush(f) != 0) return text;
  text.resize(static_cast<size_t>(std::max(std::ftell(f), 0L)));
  std::rewind(f);
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fseek(f, 0, SEEK_END);
  return text;
}

}  // namespace lw::test

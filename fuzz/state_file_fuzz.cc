// The state file's reader (linkwatch_state.txt).
//
// Properties: any bytes are read or refused without a crash; a refused
// text leaves nothing half read; an accepted one, written out again, reads
// back to the same records and is then written byte for byte the same; and
// the start-up's load of such a file either takes it or sets it aside.

#include <memory>
#include <string>
#include <vector>

#include "app/state_file.h"
#include "fuzz_util.h"

namespace {

// The file written from `state`; "" when a message did not fit a line (a
// line read may lack optional fields that the writer adds).
std::string rewrite(const lw::SavedState& state) {
  std::vector<lw::HeldMessage> held;
  for (const lw::SavedMessage& m : state.messages) {
    held.push_back({std::make_shared<const lw::QueuedMessage>(m.message), m.channels});
  }
  size_t left_out = 0;
  const std::string messages = lw::format_state_messages(held, &left_out);
  if (left_out > 0) return "";
  return lw::format_state_file(state.saved_at, lw::format_saved_services(state.services), messages,
                               lw::format_saved_histories(state.histories));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  lw::fuzz::enter_private_folder("state");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using lw::fuzz::require;
  if (size > 300000) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  lw::SavedState state;
  std::string error;
  const bool accepted = lw::parse_state_file(bytes.data(), bytes.size(), &state, &error);
  if (!accepted) {
    require(!error.empty() && state.services.empty() && state.messages.empty() &&
                state.histories.empty(),
            "a refused file is said why and leaves nothing");
  } else {
    const std::string again = rewrite(state);
    lw::SavedState second;
    if (again.empty()) return 0;
    require(lw::parse_state_file(again.data(), again.size(), &second, &error),
            "what is written reads back");
    require(second.services.size() == state.services.size() &&
                second.messages.size() == state.messages.size() &&
                second.histories.size() == state.histories.size(),
            "the same records come back");
    require(rewrite(second) == again, "written twice, the same bytes");
  }

  lw::fuzz::put_file(lw::kStateFileName, bytes);
  lw::fuzz::put_file(lw::kStateBadFileName, "-");
  lw::SavedState loaded;
  lw::load_state_file(&loaded);
  require(loaded.services.size() == state.services.size(), "the load reads as the parse does");
  require(lw::fuzz::get_file(lw::kStateBadFileName) == (accepted ? "-" : bytes),
          "only a refused file is set aside, as it was");
  return 0;
}

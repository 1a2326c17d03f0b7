// Who made linkwatch: the address shown in the start-up banner, the header of
// "-check" and the footer of the daily report; and its version.

#ifndef LINKWATCH_SUPPORT_ABOUT_H_
#define LINKWATCH_SUPPORT_ABOUT_H_

namespace lw {

constexpr const char kMakerAddress[] = "https://linkwatch.example.org";
// The version shown in the banner and the metrics' linkwatch_build_info.
constexpr const char kVersion[] = "1.0";

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_ABOUT_H_

// Who made linkwatch: the address shown in the start-up banner, the header of
// "-check" and the footer of the daily report.

#ifndef LINKWATCH_SUPPORT_ABOUT_H_
#define LINKWATCH_SUPPORT_ABOUT_H_

namespace lw {

constexpr const char kMakerAddress[] = "https://linkwatch.example.org";

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_ABOUT_H_

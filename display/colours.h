#pragma once
// The colours the window paints its labels in, as 0x00BBGGRR with red in the lowest byte: the
// form the label colours were always written in. The window turns them into its toolkit's
// colours; the logic compares them as numbers.

#include <cstdint>

namespace display {

inline constexpr std::uint32_t kWhite = 0xFFFFFF;
inline constexpr std::uint32_t kRed = 0x0000FF;
inline constexpr std::uint32_t kDarkRed = 0x000080;
inline constexpr std::uint32_t kNavy = 0x800000;
inline constexpr std::uint32_t kLightBlue = 0xFFC0C0;

}  // namespace display

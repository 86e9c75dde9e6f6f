#pragma once
// The stations' names as the command-line tools take them: jjy40, jjy60, dcf77, msf, wwvb, bpc.

#include "timecode/station.h"

#include <optional>
#include <string_view>

namespace timecode {

// The station of a name, exactly as listed (lower case); nullopt for any other text.
std::optional<Station> stationNamed(std::string_view name);

// The name stationNamed() reads back.
std::string_view stationName(Station station);

// The station as people write it: "JJY 40 kHz", "DCF77", "MSF", "WWVB", "BPC".
std::string_view stationTitle(Station station);

// Every name, for a usage line: "jjy40, jjy60, dcf77, msf, wwvb, bpc".
inline constexpr std::string_view kStationNames = "jjy40, jjy60, dcf77, msf, wwvb, bpc";

}  // namespace timecode

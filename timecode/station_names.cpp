#include "timecode/station_names.h"

namespace timecode {

namespace {

struct Named {
    std::string_view name;
    std::string_view title;
    Station station;
};

constexpr Named kStations[] = {
    {"jjy40", "JJY 40 kHz", Station::Jjy40}, {"jjy60", "JJY 60 kHz", Station::Jjy60},
    {"dcf77", "DCF77", Station::Dcf77},      {"msf", "MSF", Station::Msf},
    {"wwvb", "WWVB", Station::Wwvb},         {"bpc", "BPC", Station::Bpc},
};

}  // namespace

std::optional<Station> stationNamed(std::string_view name)
{
    for (const auto& s : kStations)
        if (name == s.name) return s.station;
    return std::nullopt;
}

std::string_view stationName(Station station)
{
    for (const auto& s : kStations)
        if (station == s.station) return s.name;
    return {};
}

std::string_view stationTitle(Station station)
{
    for (const auto& s : kStations)
        if (station == s.station) return s.title;
    return {};
}

}  // namespace timecode

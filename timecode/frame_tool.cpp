// pendrel-frame: prints the JJY frame that Pendrel sends for given minutes, so that what goes out
// can be checked without a radio clock; with --station, the minute of another long-wave station.

#include "timecode/station.h"
#include "timecode/station_names.h"
#include "timecode/timecode.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kHelp =
    "Usage: pendrel-frame [--station NAME] [DATE-TIME ...]\n"
    "Prints the JJY time-code frame that Pendrel sends during the given minute.\n"
    "\n"
    "Each argument, or else each line of standard input, is a date-time\n"
    "\"YYYY-MM-DD hh:mm\" (seconds may follow as \":ss\" and are ignored). For each\n"
    "one line of 60 digits is printed, the pulse of every second of that minute:\n"
    "0 = marker (200 ms), 1 = binary one (500 ms), 2 = binary zero (800 ms).\n"
    "\n"
    "A date-time that cannot be read is reported on standard error, the others are\n"
    "still printed, and the exit status is 1.\n"
    "\n"
    "  --station NAME\n"
    "             print the minute of station NAME instead, one character a\n"
    "             second: jjy40, jjy60 (M marker, 1, 0), dcf77 (0, 1, - unreduced),\n"
    "             msf (M minute mark, bits A + 2 x B as 0..3), wwvb (M marker, 1, 0)\n"
    "             or bpc (base-4 digits 0..3, - unreduced). The date-time is the\n"
    "             station's civil time of the minute sent (UTC for wwvb); summer\n"
    "             time follows the station's rules.\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

bool twoDigits(std::string_view s, std::size_t pos, int& out)
{
    const char a = s[pos], b = s[pos + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    out = (a - '0') * 10 + (b - '0');
    return true;
}

// "YYYY-MM-DD hh:mm" with optional ":ss"; surrounding blanks and a carriage return are allowed.
std::optional<runtime::DateTime> parseMinute(std::string_view s)
{
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    if (s.size() != 16 && s.size() != 19) return std::nullopt;
    if (s[4] != '-' || s[7] != '-' || (s[10] != ' ' && s[10] != 'T') || s[13] != ':')
        return std::nullopt;
    runtime::DateTime dt;
    int century = 0, years = 0;
    if (!twoDigits(s, 0, century) || !twoDigits(s, 2, years) || !twoDigits(s, 5, dt.month) ||
        !twoDigits(s, 8, dt.day) || !twoDigits(s, 11, dt.hour) || !twoDigits(s, 14, dt.minute))
        return std::nullopt;
    if (s.size() == 19) {
        int seconds = 0;
        if (s[16] != ':' || !twoDigits(s, 17, seconds) || seconds > 60) return std::nullopt;
    }
    dt.year = century * 100 + years;
    const std::chrono::year_month_day ymd{std::chrono::year{dt.year},
                                          std::chrono::month{static_cast<unsigned>(dt.month)},
                                          std::chrono::day{static_cast<unsigned>(dt.day)}};
    if (!ymd.ok() || dt.hour > 23 || dt.minute > 59) return std::nullopt;
    return dt;
}

class Output {
public:
    ~Output() { flush(); }
    // Without a station, the JJY frame in the digits the program has always printed.
    void frame(const runtime::DateTime& dt, std::optional<timecode::Station> station)
    {
        if (station) {
            const std::string text = timecode::notation(timecode::stationMinute(*station, {dt}));
            m_buf.insert(m_buf.end(), text.begin(), text.end());
        } else {
            for (auto kind : timecode::timecode(dt))
                m_buf.push_back(static_cast<char>('0' + static_cast<int>(kind)));
        }
        m_buf.push_back('\n');
        if (m_buf.size() > (1 << 16)) flush();
    }
    void flush()
    {
        if (!m_buf.empty()) std::fwrite(m_buf.data(), 1, m_buf.size(), stdout);
        m_buf.clear();
    }

private:
    std::vector<char> m_buf;
};

bool handle(std::string_view text, const char* where, long number,
            std::optional<timecode::Station> station, Output& out)
{
    if (const auto dt = parseMinute(text)) {
        out.frame(*dt, station);
        return true;
    }
    out.flush();
    std::fprintf(stderr,
                 "pendrel-frame: %s %ld: cannot read \"%.*s\" (expected YYYY-MM-DD hh:mm)\n",
                 where, number, static_cast<int>(text.size()), text.data());
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string_view> args;
    std::optional<timecode::Station> station;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--station") {
            station = i + 1 < argc ? timecode::stationNamed(argv[++i]) : std::nullopt;
            if (!station) {
                std::fprintf(stderr, "pendrel-frame: --station needs one of jjy40, jjy60, dcf77, "
                                     "msf, wwvb, bpc\n");
                return 2;
            }
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("pendrel-frame %s\n", PENDREL_VERSION_TEXT);
            return 0;
        }
        if (arg.starts_with("--")) {
            std::fprintf(stderr, "pendrel-frame: unknown option %s (see --help)\n", argv[i]);
            return 2;
        }
        args.push_back(arg);
    }

    Output out;
    bool allRead = true;
    if (!args.empty()) {
        for (std::size_t i = 0; i < args.size(); ++i)
            allRead &= handle(args[i], "argument", static_cast<long>(i + 1), station, out);
        return allRead ? 0 : 1;
    }

    // Standard input in large blocks; lines may straddle blocks.
    std::string pending;
    std::vector<char> block(1 << 16);
    long lineNumber = 0;
    ssize_t n;
    while ((n = read(STDIN_FILENO, block.data(), block.size())) > 0) {
        pending.append(block.data(), static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            ++lineNumber;
            const std::string_view line(pending.data() + start, nl - start);
            if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
            allRead &= handle(line, "line", lineNumber, station, out);
        }
        pending.erase(0, start);
    }
    if (pending.find_first_not_of(" \t\r") != std::string::npos)
        allRead &= handle(pending, "line", lineNumber + 1, station, out);
    return allRead ? 0 : 1;
}

// pendrel-send: sends a long-wave station's time signal through the sound output without the
// window, live or into a WAV file. See kHelp, and the README's "Sending without the window".

#include "app/settings/settings_file.h"
#include "platform/sound/system_sound.h"
#include "runtime/clock.h"
#include "send/plan.h"
#include "send/sender.h"
#include "timecode/station_names.h"
#include "tools/station_tone.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;

constexpr const char* kHelp =
    "Usage: pendrel-send --station NAME [--direct [--rate R]] [--for LENGTH | --until hh:mm]\n"
    "                    [--days N] [--hours N] [--minutes N] [--settings FILE]\n"
    "                    [--summer on|off|auto] [--clock-zone +HH:MM]\n"
    "       pendrel-send --station NAME --wav FILE [--at \"YYYY-MM-DD hh:mm\"] [--for LENGTH] ...\n"
    "Sends a long-wave time signal through the sound output, as Pendrel's window sends\n"
    "JJY, from the next minute on; or writes it into a WAV file.\n"
    "\n"
    "  --station NAME  jjy40, jjy60, dcf77, msf, wwvb or bpc\n"
    "  --direct        the carrier itself at 96 or 192 kHz instead of its sub-harmonic at\n"
    "                  48 kHz (for an output that runs at that rate); --rate R picks the\n"
    "                  rate (default: the lowest that carries the station)\n"
    "  --for LENGTH    stop after 90s, 10m, 2h ... counted from the start (--wav: the\n"
    "                  file's length, 2m unless given)\n"
    "  --until hh:mm   stop at that time of the PC clock (the next one: after midnight\n"
    "                  when it is past); without --for or --until it sends until stopped\n"
    "  --days N --hours N --minutes N\n"
    "                  the time the clock is to show: the PC's time plus these, as the\n"
    "                  window's advances (default 0: the PC's time as it is)\n"
    "  --settings FILE the advances of a Pendrel settings file (setting.ini, or its folder)\n"
    "  --summer on|off|auto\n"
    "                  the summer-time state sent (auto: the station's own rules)\n"
    "  --clock-zone +HH:MM\n"
    "                  wwvb: the standard offset of the clock's zone (default: the PC's);\n"
    "                  the clock shows the time to show when it adds that zone and US\n"
    "                  summer time to the UTC sent\n"
    "  --wav FILE      write the signal into FILE instead, starting at a minute boundary\n"
    "  --at \"YYYY-MM-DD hh:mm\"\n"
    "                  --wav: the PC's local time at the file's start (default: the next\n"
    "                  minute)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 sent to the end; 1 could not start (Pendrel's window sends on the\n"
    "same output, the WAV file cannot be written); 2 a bad command line; 3 sent to the\n"
    "end, but for a while the signal did not get out (said on standard error);\n"
    "130 stopped by Ctrl-C, 143 by SIGTERM.\n";

// --- Stop on a signal -----------------------------------------------------------------------

int g_stopPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_stopSignal = 0;

extern "C" void onStopSignal(int signal)
{
    g_stopSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_stopPipe[1], &byte, 1);
}

bool catchStopSignals()
{
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Sleeps until the time is up or a stop signal comes, whichever is first.
class SignalWaiter final : public send::Waiter {
public:
    bool waitFor(microseconds d) override
    {
        if (g_stopSignal) return false;
        const auto us = std::max<std::int64_t>(d.count(), 0);
        timespec timeout{static_cast<time_t>(us / 1'000'000), static_cast<long>(us % 1'000'000) * 1000};
        pollfd p{g_stopPipe[0], POLLIN, 0};
        ::ppoll(&p, 1, &timeout, nullptr);
        return g_stopSignal == 0;
    }
};

int stopStatus()
{
    return g_stopSignal == SIGTERM ? 143 : 130;
}

// --- Pendrel's window beside us -------------------------------------------------------------

std::string readLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// The variables that choose the sound server a process talks to, from its environment block.
std::map<std::string, std::string> soundEnvironment(const std::string& environBlock)
{
    std::map<std::string, std::string> found;
    std::size_t at = 0;
    while (at < environBlock.size()) {
        const std::size_t end = std::min(environBlock.find('\0', at), environBlock.size());
        const std::string entry = environBlock.substr(at, end - at);
        at = end + 1;
        for (const char* key : {"XDG_RUNTIME_DIR", "PULSE_SERVER", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR"})
            if (entry.starts_with(std::string(key) + "=")) found[key] = entry.substr(std::strlen(key) + 1);
    }
    return found;
}

std::string ownSoundEnvironment()
{
    std::string block;
    for (char** e = environ; *e; ++e) block += std::string(*e) + '\0';
    return block;
}

// A running window of this user that transmits (its settings say Transmit State=1) to the same
// sound server as we would (the same runtime folder and server variables): its pulses and ours
// would mix at the clock. Its folder, or empty when there is none.
std::string windowSendingBeside()
{
    const auto ours = soundEnvironment(ownSoundEnvironment());
    DIR* proc = ::opendir("/proc");
    if (!proc) return {};
    std::string found;
    while (dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        struct stat st {};
        if (::stat(("/proc/" + pid).c_str(), &st) != 0 || st.st_uid != ::getuid()) continue;
        std::string exe = readLink("/proc/" + pid + "/exe");
        if (exe.ends_with(" (deleted)")) exe.resize(exe.size() - 10);
        const auto slash = exe.rfind('/');
        if (slash == std::string::npos || exe.substr(slash + 1) != "pendrel") continue;
        std::ifstream environFile("/proc/" + pid + "/environ", std::ios::binary);
        const std::string block{std::istreambuf_iterator<char>(environFile), {}};
        if (soundEnvironment(block) != ours) continue;
        const std::string folder = exe.substr(0, slash);
        if (settings::SettingsFile::findFor(folder).ReadIni("Transmit", "State") == "1") {
            found = folder;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

// --- The time to show -----------------------------------------------------------------------

// The plan from the options: the advances given or read from a settings file, the clock's zone
// given or the PC's. False, with the reason said, when the settings file cannot be read.
bool makePlan(const send::Options& o, send::TimePlan& plan)
{
    plan.station = o.station;
    plan.summer = o.summer;
    plan.days = o.days;
    plan.hours = o.hours;
    plan.minutes = o.minutes;
    if (!o.settingsPath.empty()) {
        struct stat st {};
        std::string folder = o.settingsPath;
        if (::stat(o.settingsPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            folder = o.settingsPath;
        } else {
            const auto slash = o.settingsPath.rfind('/');
            const std::string name = slash == std::string::npos ? o.settingsPath : o.settingsPath.substr(slash + 1);
            folder = slash == std::string::npos ? "." : slash == 0 ? "/" : o.settingsPath.substr(0, slash);
            if (name != "setting.ini") {
                std::fprintf(stderr, "pendrel-send: --settings %s: not a Pendrel settings file (setting.ini) or its folder\n",
                             o.settingsPath.c_str());
                return false;
            }
        }
        const settings::SettingsFile file(settings::SettingsPlace{folder, false});
        if (::access(file.path().c_str(), R_OK) != 0) {
            std::fprintf(stderr, "pendrel-send: --settings: cannot read %s: %s\n", file.path().c_str(),
                         std::strerror(errno));
            return false;
        }
        const settings::StoredAdvances a = settings::readAdvances(file);
        // As the window does: an advance that does not fit counts as 0, and the file keeps it.
        for (const auto* stored : {&a.days, &a.hours, &a.minutes})
            if (stored->overflowed)
                std::fprintf(stderr, "pendrel-send: %s: the advance \"%s\" is too large and counts as 0\n",
                             file.path().c_str(), stored->text.c_str());
        plan.days = a.days.value;
        plan.hours = a.hours.value;
        plan.minutes = a.minutes.value;
    }
    if (o.clockZoneMinutes) {
        plan.clockZoneMinutes = *o.clockZoneMinutes;
    } else {
        const runtime::DateTime now = runtime::toDateTime(runtime::SystemClock().now());
        plan.clockZoneMinutes = send::standardOffsetMinutes(now.year, send::systemOffsetAt);
    }
    return true;
}

// --- Into a WAV file ------------------------------------------------------------------------

int writeWav(const send::Options& o, const send::TimePlan& plan)
{
    const tools::StationSet set{o.station, o.directRate};
    const unsigned rate = tools::sampleRate(set);
    const runtime::LocalTime start =
        o.at ? runtime::toLocalTime(*o.at) : send::firstMinute(runtime::SystemClock().now());
    const auto length = o.length.value_or(send::kDefaultWavLength);

    // Written beside the file and renamed over it once whole: a crash or a full disk leaves
    // the old file or none, never half of one.
    std::string temp = o.wavPath + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        std::fprintf(stderr, "pendrel-send: cannot write %s: %s\n", o.wavPath.c_str(), std::strerror(errno));
        return 1;
    }
    // mkstemp makes it private; the file gets what any new file of the user would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    const auto fail = [&](const std::string& why) {
        if (file) sf_close(file);
        ::unlink(temp.c_str());
        std::fprintf(stderr, "pendrel-send: cannot write %s: %s\n", o.wavPath.c_str(), why.c_str());
        return 1;
    };
    if (!file) return fail(sf_strerror(nullptr));

    std::map<std::string, std::vector<float>> made;
    runtime::LocalTime minuteStart{};
    timecode::StationMinute sent;
    for (seconds s{0}; s < length; ++s) {
        const runtime::LocalTime t = start + s;
        if (floor<minutes>(t) != minuteStart || s == seconds{0}) {
            minuteStart = floor<minutes>(t);
            const send::PlannedMinute planned = send::planMinute(plan, runtime::toDateTime(minuteStart));
            sent = timecode::stationMinute(o.station, planned.toSend);
            std::printf("%s\n", send::minuteLine(planned, sent).c_str());
        }
        const auto index = static_cast<std::size_t>(duration_cast<seconds>(t - minuteStart).count());
        const timecode::StationSecond second = index < sent.seconds.size() ? sent.seconds[index]
                                                                            : timecode::StationSecond{};
        auto& samples = made[send::soundName(second)];
        if (samples.empty()) samples = tools::stationSecondSamples(second, sent.reducedLevelPercent, set);
        if (sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size())) !=
            static_cast<sf_count_t>(samples.size()))
            return fail(sf_strerror(file));
    }
    sf_write_sync(file);
    if (sf_close(file) != 0) {
        file = nullptr;
        return fail("the file could not be finished");
    }
    file = nullptr;
    if (::rename(temp.c_str(), o.wavPath.c_str()) != 0) return fail(std::strerror(errno));
    std::fflush(stdout);
    return 0;
}

// --- Live -----------------------------------------------------------------------------------

class Terminal final : public send::SendEvents {
public:
    Terminal(platform::StreamOutput& sound, const tools::StationSet& set)
        : m_sound(sound), m_set(set), m_tty(::isatty(STDOUT_FILENO) == 1)
    {
        const unsigned rate = tools::sampleRate(set);
        m_sound.addSound(send::kSilence,
                         std::vector<float>(rate * send::kSilenceLength.count() / 1000, 0.0f), rate);
    }

    void prepare(const timecode::StationMinute& minute) override
    {
        for (const auto& second : minute.seconds) {
            const std::string name = send::soundName(second);
            if (!m_made.insert(name).second) continue;
            m_sound.addSound(name, tools::stationSecondSamples(second, minute.reducedLevelPercent, m_set),
                             tools::sampleRate(m_set));
        }
    }
    void minuteStarts(const send::PlannedMinute& planned, const timecode::StationMinute& sent) override
    {
        line(stdout, send::minuteLine(planned, sent));
    }
    void secondSent(int second, std::optional<seconds> left) override
    {
        if (!m_tty) return;
        std::string text = "\rsecond " + std::to_string(second);
        if (left) {
            const auto s = left->count();
            char buf[48];
            std::snprintf(buf, sizeof buf, ", %lld:%02lld:%02lld left", static_cast<long long>(s / 3600),
                          static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
            text += buf;
        }
        std::fputs((text + "\033[K").c_str(), stdout);
        std::fflush(stdout);
        m_progress = true;
    }
    void status(const platform::SoundStatus& status, runtime::LocalTime now) override
    {
        for (const auto& text : m_watch.look(status, now)) line(stderr, "pendrel-send: " + text);
    }
    void done()
    {
        if (m_progress) std::fputs("\r\033[K", stdout);
        std::fflush(stdout);
    }
    bool troubled() const { return m_watch.everTold(); }

private:
    // A line of its own, over the progress line when there is one.
    void line(std::FILE* to, const std::string& text)
    {
        if (m_progress) {
            std::fputs("\r\033[K", stdout);
            std::fflush(stdout);
            m_progress = false;
        }
        std::fprintf(to, "%s\n", text.c_str());
        std::fflush(to);
    }

    platform::StreamOutput& m_sound;
    tools::StationSet m_set;
    bool m_tty;
    bool m_progress = false;
    std::set<std::string> m_made;
    send::TroubleWatch m_watch;
};

int sendLive(const send::Options& o, const send::TimePlan& plan)
{
    if (const std::string folder = windowSendingBeside(); !folder.empty()) {
        std::fprintf(stderr, "pendrel-send: Pendrel's window (%s) is sending on the same sound output; "
                             "switch it off first, or the two signals mix at the clock\n", folder.c_str());
        return 1;
    }
    if (!catchStopSignals()) {
        std::fprintf(stderr, "pendrel-send: cannot catch Ctrl-C: %s\n", std::strerror(errno));
        return 1;
    }
    const auto output = platform::openSystemSound();
    platform::StreamOutput& sound = *output;
    runtime::SystemClock clock;
    clock.setLead(sound.lead());
    const auto end = send::liveEnd(o, runtime::SystemClock().now());
    // The end is on the PC clock; the loop reads the clock that runs the lead ahead, whose
    // boundaries are heard on the PC's.
    Terminal terminal(sound, {o.station, o.directRate});
    SignalWaiter waiter;
    const send::RunEnd how = send::sendLive(plan, end, clock, waiter, sound, terminal);
    terminal.done();
    if (how == send::RunEnd::Stopped) return stopStatus();
    return terminal.troubled() ? 3 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const send::Parsed parsed = send::parseOptions({argv + 1, argv + argc});
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "pendrel-send: %s\n", parsed.error.c_str());
        return 2;
    }
    const send::Options& o = parsed.options;
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (o.version) {
        std::printf("pendrel-send %s\n", PENDREL_VERSION_TEXT);
        return 0;
    }
    send::TimePlan plan;
    if (!makePlan(o, plan)) return 2;
    return o.wavPath.empty() ? sendLive(o, plan) : writeWav(o, plan);
}

#pragma once
// Sound files decoded into the one sample format the output stream plays: interleaved 32-bit
// float at a fixed rate and channel count. Any file libsndfile reads (WAV with 8/16/24/32-bit
// integer or float samples, 1 kHz to 384 kHz, up to 8 channels) is converted; a file that is
// missing, unreadable, not a sound file or longer than 5 s decodes to nothing and never throws.
// The length is checked from the header before anything is allocated, so no header, however
// wrong, takes more than a few megabytes or more than a moment of one core.

#include "platform/sound/sound_output.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Pcm {
    unsigned rate = 0;
    unsigned channels = 0;
    std::vector<float> samples;  // interleaved, -1.0 .. 1.0
    unsigned fileRate = 0;       // the rate the file itself was written at
    double toneHz = 0;           // the tone it carries, from its zero crossings
    // The last holdFrames frames are whole periods of the tone the sound ends on: played again
    // and again after its end they carry that tone on without a break in its phase. 0 when
    // the sound ends silent or on no steady tone.
    std::size_t holdFrames = 0;
    std::size_t frames() const { return channels == 0 ? 0 : samples.size() / channels; }
};

// The shortest stretch at the end of interleaved `samples` that repeats the way the sound
// ends (see Pcm::holdFrames), looked for up to 20 ms long; 0 when there is none.
std::size_t seamlessTail(const std::vector<float>& samples, unsigned channels, unsigned rate);

// Reads the whole file and converts it to `rate` frames a second and `channels` channels
// (mono is copied to every channel; more channels than wanted are mixed down by averaging).
// nullopt, with "path: reason" in *error if given, when the file cannot be played; the reason
// is a few plain words in Japanese, fit to show the user.
std::optional<Pcm> decodeSoundFile(const std::string& path, unsigned rate, unsigned channels,
                                   std::string* error = nullptr);

// Band-limited (windowed-sinc) rate conversion of interleaved samples. The result has
// round(frames * toRate / fromRate) frames; the same rate returns the input unchanged.
std::vector<float> resample(const std::vector<float>& samples, unsigned channels,
                            unsigned fromRate, unsigned toRate);

// Interleaved channel conversion: 1 -> n copies, n -> 1 averages, otherwise channel i of the
// result is channel i of the input (or the average of all when the input has fewer).
std::vector<float> convertChannels(const std::vector<float>& samples, unsigned fromChannels,
                                   unsigned toChannels);

// What identifies one version of a file on disk; a change of any field means the file was
// replaced or rewritten.
struct FileStamp {
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
};

// One stat call; nullopt when the file does not exist or is not a regular file.
std::optional<FileStamp> stampOf(const std::string& path);

// Decoded files by path, each kept until the file on disk changes. Thread-safe: lookups take a
// short lock and never decode; load() decodes without holding the lock.
class SoundCache {
public:
    SoundCache(unsigned rate, unsigned channels) : m_rate(rate), m_channels(channels) {}

    struct Lookup {
        bool fresh = false;               // the entry matches the file on disk now
        std::shared_ptr<const Pcm> pcm;   // null: no entry, or the file is not playable
    };

    // Cheap: one stat and a map lookup. A missing file is fresh with no sound.
    Lookup lookup(const std::string& path) const;

    // Decodes the file if the cached entry is stale or absent; returns the sound (null when
    // the file is missing or unplayable). Never throws.
    std::shared_ptr<const Pcm> load(const std::string& path);

    // A sound made in memory, kept under `name` for the cache's life in place of any file of
    // that name: `samples` mono at `rate` frames a second (1 kHz .. 384 kHz, up to 5 s; others
    // are refused and state(name) says why). lookup() and load() then treat it as a file that
    // never changes, converted to the cache's rate and channels like any other. Adding it again
    // replaces it.
    void add(const std::string& name, std::vector<float> samples, unsigned rate);

    // What the last load() of the path found: playable, or not and why (a few plain words in
    // Japanese). A path never loaded is not playable, "まだ読み込んでいません". Cheap: a lock
    // and a short search; an output copies these into SoundStatus::files.
    SoundFileState state(const std::string& path) const;
    // Every path loaded so far, first loaded first.
    std::vector<SoundFileState> states() const;

    unsigned rate() const;
    unsigned channels() const { return m_channels; }
    // From now on files are decoded to `rate`; what was decoded at another rate is read again.
    void setRate(unsigned rate);

private:
    struct Entry {
        FileStamp stamp;
        std::shared_ptr<const Pcm> pcm;
    };
    unsigned m_rate;
    unsigned m_channels;
    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
    struct Made {
        std::shared_ptr<const std::vector<float>> samples;  // mono; null: refused
        unsigned rate = 0;
    };
    std::map<std::string, Made> m_made;
    std::vector<SoundFileState> m_states;  // by first load; a handful of files

    // With m_mutex held.
    void remember(const std::string& path, const std::shared_ptr<const Pcm>& pcm,
                  std::string reason);
};

}  // namespace platform

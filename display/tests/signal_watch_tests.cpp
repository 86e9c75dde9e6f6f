#include "display/signal_watch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using display::SignalWatch;
using platform::SoundStatus;
using Tell = SignalWatch::Tell;
using namespace std::chrono_literals;

SoundStatus working()
{
    return {"PulseAudio", true, true, "Test speakers", {}};
}

// What keeps the signal from getting out, as the tooltip names it and as the message explains
// it, for each way the sound output can fail.
TEST(SignalProblems, NameWhatIsWrongAndWhatToDo)
{
    const struct {
        const char* what;
        SoundStatus status;
        std::vector<std::string> briefs;
        std::vector<std::string> said;  // in the details
    } cases[] = {
        {"working", working(), {}, {}},
        {"no sound server", {"PipeWire", false, false, "", {}},
         {"サウンドサーバーに接続できません"},
         {"サウンドサーバー（PipeWire）に接続できません", "systemctl --user start"}},
        {"no server named", {"", false, false, "", {}},
         {"サウンドサーバーに接続できません"},
         {"サウンドサーバー（PipeWire または PulseAudio）"}},
        {"no output device", {"PulseAudio", true, false, "", {}},
         {"音声の出力先がありません"}, {"出力先", "サウンドの設定"}},
        {"stream failed", {"PulseAudio", true, false, "Test speakers", {}},
         {"音声の出力を始められません"},
         {"「Test speakers」への音声の出力を始められません（PulseAudio）"}},
        {"a file too long and one unreadable",
         {"PulseAudio", true, true, "Test speakers",
          {{"/p/200ms.wav", true, ""},
           {"/p/500ms.wav", false, "長さ 600.0 秒はパルスの音として長すぎます"},
           {"800ms.wav", false, ""}}},
         {"500ms.wav: 長さ 600.0 秒はパルスの音として長すぎます", "800ms.wav: 再生できません"},
         {"音声ファイル「/p/500ms.wav」を使えません: 長さ 600.0 秒",
          "「1」（0.5 秒）のパルスは無音", "「/p/pendrel-make-sounds /p」",
          "「0」（0.8 秒）のパルスは無音", "「./pendrel-make-sounds .」"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto problems = display::problemsOf(c.status);
        std::vector<std::string> briefs;
        std::string details;
        for (const auto& p : problems) {
            briefs.push_back(p.brief);
            details += p.detail;
        }
        EXPECT_EQ(briefs, c.briefs);
        for (const std::string& part : c.said)
            EXPECT_NE(details.find(part), std::string::npos) << part << " in " << details;
    }
}

// One look a second: a problem is told once it has lasted two seconds, followed while it lasts,
// and its end told once; switching off ends an episode without a word; an output that reports
// nothing changes nothing.
TEST(SignalWatch, TellsEachEpisodeOnceAndItsEnd)
{
    const SoundStatus bad{"PipeWire", false, false, "", {}};
    SoundStatus otherBad = working();
    otherBad.streamRunning = false;
    const struct Step {
        const char* what;
        SoundStatus status;
        bool transmitting;
        Tell tell;
        const char* tooltipStart;
    } steps[] = {
        {"off, trouble", bad, false, Tell::Nothing, "送信していません。送信しても信号は出ません: "},
        {"off, working", working(), false, Tell::Nothing, "送信していません。音声の出力は使えます（PulseAudio、出力先: Test speakers）"},
        {"on, trouble begins", bad, true, Tell::Nothing, "信号が出ていません: サウンドサーバー"},
        {"one second", bad, true, Tell::Nothing, "信号が出ていません"},
        {"a moment's trouble passes", working(), true, Tell::Nothing, "信号を送信しています（PulseAudio、出力先: Test speakers）"},
        {"trouble again", bad, true, Tell::Nothing, "信号が出ていません"},
        {"one second", bad, true, Tell::Nothing, "信号が出ていません"},
        {"two seconds: told", bad, true, Tell::Problem, "信号が出ていません"},
        {"still", bad, true, Tell::ProblemNow, "信号が出ていません"},
        {"reports nothing", {}, true, Tell::Nothing, "音声の出力の状態はわかりません"},
        {"another trouble, same episode", otherBad, true, Tell::ProblemNow, "信号が出ていません: 音声の出力を始められません"},
        {"back", working(), true, Tell::Back, "信号を送信しています"},
        {"still working", working(), true, Tell::Nothing, "信号を送信しています"},
        {"new episode", bad, true, Tell::Nothing, "信号が出ていません"},
        {"one second", bad, true, Tell::Nothing, "信号が出ていません"},
        {"two seconds: told", bad, true, Tell::Problem, "信号が出ていません"},
        {"switched off", bad, false, Tell::Nothing, "送信していません"},
        {"working while off", working(), false, Tell::Nothing, "送信していません"},
        {"on again, at once working", working(), true, Tell::Nothing, "信号を送信しています"},
    };
    SignalWatch watch;
    runtime::LocalTime now = runtime::toLocalTime({2024, 1, 5, 9, 5, 0});
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const SignalWatch::Look look = watch.look(s.status, s.transmitting, now);
        EXPECT_EQ(look.tell, s.tell);
        EXPECT_TRUE(look.tooltip.starts_with(s.tooltipStart)) << look.tooltip;
        if (s.tell == Tell::Problem || s.tell == Tell::ProblemNow) {
            EXPECT_TRUE(look.text.starts_with("JJY の信号が出ていません。")) << look.text;
            EXPECT_NE(look.text.find(display::problemsOf(s.status)[0].detail), std::string::npos);
        }
        if (s.tell == Tell::Back) {
            EXPECT_EQ(look.text, "JJY の信号がまた出ています（Test speakers）。");
        }
        now += 1s;
    }
}

}  // namespace

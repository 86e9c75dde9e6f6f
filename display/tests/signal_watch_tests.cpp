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

using Route = platform::SoundRoute;

// A working output whose way out, as the server reports it, is changed by `change`.
template <typename Change>
SoundStatus routed(Change change)
{
    SoundStatus s = working();
    s.route = {true, "", Route::Kind::BuiltIn, Route::Port::LineOut, "Line Out", false, 100, false, 100, {}};
    change(s.route);
    return s;
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
        {"the way out clear: USB, speaker, 50 %, volume not known",
         routed([](Route& r) {
             r.kind = Route::Kind::Usb;
             r.port = Route::Port::Speaker;
             r.deviceVolume = 50;
             r.streamVolume = -1;
         }), {}, {}},
        {"device muted", routed([](Route& r) { r.deviceMuted = true; }),
         {"ミュートされています"},
         {"出力先「Test speakers」がミュートされています。", "ミュートを解除してください"}},
        {"device and stream muted, device at 20 %",
         routed([](Route& r) { r.deviceMuted = r.streamMuted = true; r.deviceVolume = 20; }),
         {"ミュートされています", "音量が低すぎます"},
         {"出力先「Test speakers」と Pendrel の音がミュートされています。",
          "出力先「Test speakers」の音量が 20 % です。50 % 以上"}},
        {"stream at 49 %", routed([](Route& r) { r.streamVolume = 49; }),
         {"音量が低すぎます"}, {"Pendrel の音量が 49 % です。"}},
        {"Bluetooth", routed([](Route& r) { r.kind = Route::Kind::Bluetooth; }),
         {"出力先が Bluetooth です"},
         {"出力先「Test speakers」は Bluetooth の機器なので、信号の高い音が伝わりません。", "ヘッドホン端子かライン出力を出力先に選んで"}},
        {"Bluetooth, the stream moved off the default device",
         routed([](Route& r) { r.kind = Route::Kind::Bluetooth; r.device = "Headset"; }),
         {"出力先が Bluetooth です"}, {"出力先「Headset」は Bluetooth の機器なので"}},
        {"HDMI", routed([](Route& r) { r.kind = Route::Kind::Hdmi; }),
         {"出力先が HDMI/DisplayPort です"}, {"HDMI/DisplayPort の機器なので"}},
        {"two other programs", routed([](Route& r) { r.others = {"Firefox", "mpv"}; }),
         {"ほかの音が混ざっています（Firefox、mpv）"},
         {"ほかのプログラムの音（Firefox、mpv）が同じ出力先に混ざっています。"}},
        {"all at once, in order",
         routed([](Route& r) {
             r.others = {"mpv"};
             r.kind = Route::Kind::Hdmi;
             r.streamVolume = 10;
             r.deviceMuted = true;
         }),
         {"ミュートされています", "音量が低すぎます", "出力先が HDMI/DisplayPort です",
          "ほかの音が混ざっています（mpv）"},
         {}},
        {"route not known", routed([](Route& r) { r.known = false; r.deviceMuted = true; }), {}, {}},
        {"stream not playing: its old route does not count",
         [] {
             SoundStatus s = routed([](Route& r) { r.deviceMuted = true; });
             s.streamRunning = false;
             return s;
         }(),
         {"音声の出力を始められません"}, {}},
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
        EXPECT_EQ(look.tooltip.find('\n'), std::string::npos) << "no route known: one line";
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

// The way out: a muted, turned-down or unsuitable output, or another program's sound, is told
// like any trouble, but as a signal that goes out and may not reach the clock, and a setting the
// user made at the first look that sees it (another program's sound once it lasts); its end closes
// the message without a word, unless the signal had also stopped meanwhile. The tooltip lists the
// way out as it is now.
TEST(SignalWatch, TellsTheWayOutAndClosesWhenItIsClear)
{
    const SoundStatus clear = routed([](Route&) {});
    const SoundStatus muted = routed([](Route& r) { r.deviceMuted = true; });
    const SoundStatus quiet = routed([](Route& r) { r.deviceVolume = 20; });
    const SoundStatus mixed = routed([](Route& r) { r.others = {"Music"}; });
    const SoundStatus mutedMixed = routed([](Route& r) {
        r.deviceMuted = true;
        r.others = {"Music"};
    });
    const SoundStatus lost{"PulseAudio", false, false, "", {}};
    const struct Step {
        const char* what;
        SoundStatus status;
        Tell tell;
        const char* tooltipStart;
        const char* said;  // in the text
    } steps[] = {
        {"clear", clear, Tell::Nothing, "信号を送信しています（PulseAudio、出力先: Test speakers）\n出力先の種類: PC 内蔵の音声出力、端子: Line Out（ライン出力）\n音量: 出力先 100 %、Pendrel 100 %\n同じ出力先のほかの音: なし", ""},
        {"muted: told at once", muted, Tell::Problem, "信号を送信していますが、電波時計に届かないおそれがあります: ミュートされています\n", "JJY の信号は出ていますが、このままでは電波時計に届かないおそれがあります。送信は続けています。\n\n出力先「Test speakers」がミュートされています。"},
        {"unmuted but turned down", quiet, Tell::ProblemNow, "信号を送信していますが", "出力先「Test speakers」の音量が 20 % です。"},
        {"turned up: closed without a word", clear, Tell::Back, "信号を送信しています（", ""},
        {"another program plays", mixed, Tell::Nothing, "信号を送信していますが、電波時計に届かないおそれがあります: ほかの音が混ざっています（Music）", ""},
        {"one second", mixed, Tell::Nothing, "信号を送信していますが", ""},
        {"two seconds: told", mixed, Tell::Problem, "信号を送信していますが", "ほかのプログラムの音（Music）が同じ出力先に混ざっています。"},
        {"muted as well", mutedMixed, Tell::ProblemNow, "信号を送信していますが", "ミュートされています。"},
        {"the server goes away", lost, Tell::ProblemNow, "信号が出ていません: サウンドサーバー", "JJY の信号が出ていません。"},
        {"back, still muted", muted, Tell::ProblemNow, "信号を送信していますが", "電波時計に届かないおそれ"},
        {"clear: the signal is said to be back", clear, Tell::Back, "信号を送信しています", "JJY の信号がまた出ています（Test speakers）。"},
    };
    SignalWatch watch;
    runtime::LocalTime now = runtime::toLocalTime({2024, 1, 5, 9, 5, 0});
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const SignalWatch::Look look = watch.look(s.status, true, now);
        EXPECT_EQ(look.tell, s.tell);
        EXPECT_TRUE(look.tooltip.starts_with(s.tooltipStart)) << look.tooltip;
        if (*s.said)
            EXPECT_NE(look.text.find(s.said), std::string::npos) << look.text;
        else
            EXPECT_EQ(look.text, "");
        now += 1s;
    }
}

}  // namespace

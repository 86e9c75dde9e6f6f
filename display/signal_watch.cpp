#include "display/signal_watch.h"

#include <algorithm>
#include <chrono>

namespace display {

namespace {

// The last part of a path, and the folder before it ("." for a bare name).
std::string fileNameOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Which pulses a file carries, by its name.
std::string pulseKind(const std::string& fileName)
{
    if (fileName == "200ms.wav")
        return "マーカー（0.2 秒）";
    if (fileName == "500ms.wav")
        return "「1」（0.5 秒）";
    if (fileName == "800ms.wav")
        return "「0」（0.8 秒）";
    return fileName;
}

constexpr int kLowVolume = platform::kLowVolumePercent;

// The device our stream is heard on: the route's, which follows the stream wherever the mixer
// moves it.
const std::string& heardOn(const platform::SoundStatus& s)
{
    return s.route.known && !s.route.device.empty() ? s.route.device : s.device;
}

std::string deviceName(const platform::SoundStatus& s)
{
    return heardOn(s).empty() ? std::string("出力先") : "出力先「" + heardOn(s) + "」";
}

std::string listed(const std::vector<std::string>& parts, const char* separator)
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? std::string() : separator) + part;
    return text;
}

// What on the way out keeps the signal from a clock, in the order the user best puts it right.
void addRouteProblems(const platform::SoundStatus& s, std::vector<SignalProblem>& found)
{
    using Kind = platform::SoundRoute::Kind;
    const platform::SoundRoute& r = s.route;
    if (!s.streamRunning || !r.known)
        return;
    const std::string muted = r.deviceMuted && r.streamMuted ? deviceName(s) + "と Pendrel の音"
                              : r.deviceMuted                ? deviceName(s)
                              : r.streamMuted                ? "Pendrel の音"
                                                             : "";
    if (!muted.empty())
        found.push_back({"ミュートされています",
                         muted + "がミュートされています。"
                         "音量ミキサー（サウンドの設定）でミュートを解除してください。",
                         true, true});
    std::vector<std::string> low;
    if (r.deviceVolume >= 0 && r.deviceVolume < kLowVolume)
        low.push_back(deviceName(s) + "の音量が " + std::to_string(r.deviceVolume) + " %");
    if (r.streamVolume >= 0 && r.streamVolume < kLowVolume)
        low.push_back("Pendrel の音量が " + std::to_string(r.streamVolume) + " %");
    if (!low.empty())
        found.push_back({"音量が低すぎます",
                         listed(low, "、") + " です。50 % 以上（できれば 100 %）に上げてください。",
                         true, true});
    if (r.kind == Kind::Bluetooth || r.kind == Kind::Hdmi) {
        const std::string link = r.kind == Kind::Bluetooth ? "Bluetooth" : "HDMI/DisplayPort";
        found.push_back({"出力先が " + link + " です",
                         deviceName(s) + "は " + link + " の機器なので、信号の高い音が伝わりません。"
                         "サウンドの設定で、PC のヘッドホン端子かライン出力を出力先に選んでください。",
                         true, true});
    }
    if (!r.others.empty())
        found.push_back({"ほかの音が混ざっています（" + listed(r.others, "、") + "）",
                         "ほかのプログラムの音（" + listed(r.others, "、") +
                             "）が同じ出力先に混ざっています。そのプログラムの再生を止めるか、"
                             "Pendrel の音を別の出力先に送ってください。",
                         true});
}

std::string joined(const std::vector<SignalProblem>& problems, std::string SignalProblem::*part,
                   const std::string& separator)
{
    std::string text;
    for (const SignalProblem& p : problems)
        text += (text.empty() ? std::string() : separator) + p.*part;
    return text;
}

}  // namespace

std::vector<SignalProblem> problemsOf(const platform::SoundStatus& s)
{
    std::vector<SignalProblem> found;
    const std::string server = s.server.empty() ? "PipeWire または PulseAudio" : s.server;
    if (!s.serverReachable) {
        found.push_back({"サウンドサーバーに接続できません",
                         "サウンドサーバー（" + server + "）に接続できません。\n"
                         "デスクトップにログインした状態でこのプログラムを起動するか、"
                         "サウンドサーバーを起動してください"
                         "（例: systemctl --user start pipewire pipewire-pulse）。"});
    } else if (s.device.empty()) {
        found.push_back({"音声の出力先がありません",
                         "音声の出力先（スピーカーやヘッドホン）が見つかりません。\n"
                         "出力先を接続するか、サウンドの設定で出力先を選んでください。"});
    } else if (!s.streamRunning) {
        found.push_back({"音声の出力を始められません",
                         "出力先「" + s.device + "」への音声の出力を始められません（" + server +
                             "）。\nサウンドの設定で出力先が使えるか確かめてください。"});
    }
    for (const platform::SoundFileState& f : s.files) {
        if (f.playable)
            continue;
        const std::string name = fileNameOf(f.path);
        const std::string folder = folderOf(f.path);
        const std::string reason = f.reason.empty() ? "再生できません" : f.reason;
        found.push_back({name + ": " + reason,
                         "音声ファイル「" + f.path + "」を使えません: " + reason + "。\n" +
                             pulseKind(name) + "のパルスは無音になります。\n"
                             "プログラムのパッケージからファイルをコピーし直すか、"
                             "「" + folder + "/pendrel-make-sounds " + folder +
                             "」を実行して作り直してください"
                             "（60 kHz 用は --carrier 60、電波そのものの周波数で送る音は "
                             "--direct を付けます）。"});
    }
    addRouteProblems(s, found);
    return found;
}

std::string routeLines(const platform::SoundStatus& s)
{
    using Kind = platform::SoundRoute::Kind;
    using Port = platform::SoundRoute::Port;
    const platform::SoundRoute& r = s.route;
    if (!r.known)
        return {};
    const char* kind = r.kind == Kind::BuiltIn     ? "PC 内蔵の音声出力"
                       : r.kind == Kind::Usb       ? "USB の音声機器"
                       : r.kind == Kind::Bluetooth ? "Bluetooth"
                       : r.kind == Kind::Hdmi      ? "HDMI/DisplayPort"
                                                   : "種類不明";
    const char* port = r.port == Port::Speaker      ? "スピーカー"
                       : r.port == Port::Headphones ? "ヘッドホン"
                       : r.port == Port::LineOut    ? "ライン出力"
                                                    : "";
    std::string portText = r.portName.empty() ? std::string("なし") : r.portName;
    if (*port && r.portName != port)
        portText += std::string("（") + port + "）";
    const auto volume = [](int percent, bool muted) {
        return (percent < 0 ? std::string("?") : std::to_string(percent)) + " %" +
               (muted ? "（ミュート）" : "");
    };
    return std::string("出力先の種類: ") + kind + "、端子: " + portText +
           "\n音量: 出力先 " + volume(r.deviceVolume, r.deviceMuted) + "、Pendrel " +
           volume(r.streamVolume, r.streamMuted) +
           "\n同じ出力先のほかの音: " + (r.others.empty() ? std::string("なし") : listed(r.others, "、"));
}

SignalWatch::Look SignalWatch::look(const platform::SoundStatus& status, bool transmitting,
                                    runtime::LocalTime now)
{
    // An output that reports nothing at all (not even which server it speaks to) cannot be
    // judged: say so rather than claim the signal is lost or goes out.
    if (status == platform::SoundStatus{}) {
        m_problem.clear();
        return {"音声の出力の状態はわかりません", Tell::Nothing, {}};
    }
    const std::vector<SignalProblem> problems = problemsOf(status);
    const bool noSignal = std::any_of(problems.begin(), problems.end(),
                                      [](const SignalProblem& p) { return !p.goesOut; });

    Look look;
    if (problems.empty()) {
        const std::string where =
            heardOn(status).empty() ? status.server : status.server + "、出力先: " + heardOn(status);
        look.tooltip = transmitting ? "信号を送信しています（" + where + "）"
                                    : "送信していません。音声の出力は使えます（" + where + "）";
    } else if (transmitting && !noSignal) {
        look.tooltip = "信号を送信していますが、電波時計に届かないおそれがあります: " +
                       joined(problems, &SignalProblem::brief, "、");
    } else {
        look.tooltip = (transmitting ? "信号が出ていません: "
                                     : "送信していません。送信しても信号は出ません: ") +
                       joined(problems, &SignalProblem::brief, "、");
    }
    if (const std::string route = routeLines(status); !route.empty())
        look.tooltip += "\n" + route;

    if (!transmitting) {
        m_inEpisode = false;
        m_problem.clear();
        return look;
    }
    const std::string problem = joined(problems, &SignalProblem::detail, "\n\n");
    if (problem.empty()) {
        m_problem.clear();
        if (!m_inEpisode)
            return look;
        m_inEpisode = false;
        look.tell = Tell::Back;
        // Only a signal the user was told had stopped is said to be back.
        if (m_toldNoSignal)
            look.text = "JJY の信号がまた出ています（" +
                        (heardOn(status).empty() ? status.server : heardOn(status)) + "）。";
        return look;
    }
    if (m_problem.empty())
        m_since = now;
    m_problem = problem;
    // A stream takes a moment to start after switching on, and a file being replaced is
    // missing for an instant: only a problem that lasts is told, unless every part of it is a
    // setting the user made.
    using namespace std::chrono_literals;
    const bool atOnce = std::all_of(problems.begin(), problems.end(),
                                    [](const SignalProblem& p) { return p.tellAtOnce; });
    if (now - m_since < 2s && !m_inEpisode && !atOnce)
        return look;
    if (noSignal)
        look.text = "JJY の信号が出ていません。電波時計は合わせられません。\n\n" + problem +
                    "\n\n直ると、信号がまた出ていることをお知らせします。";
    else
        look.text = "JJY の信号は出ていますが、このままでは電波時計に届かないおそれがあります。"
                    "送信は続けています。\n\n" + problem +
                    "\n\n直ると、このお知らせは自動で閉じます。";
    look.tell = m_inEpisode ? Tell::ProblemNow : Tell::Problem;
    if (!m_inEpisode)
        m_toldNoSignal = false;
    m_toldNoSignal = m_toldNoSignal || noSignal;
    m_inEpisode = true;
    return look;
}

}  // namespace display

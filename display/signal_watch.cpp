#include "display/signal_watch.h"

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
    return found;
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

    Look look;
    if (problems.empty()) {
        const std::string where =
            status.device.empty() ? status.server : status.server + "、出力先: " + status.device;
        look.tooltip = transmitting ? "信号を送信しています（" + where + "）"
                                    : "送信していません。音声の出力は使えます（" + where + "）";
    } else {
        look.tooltip = (transmitting ? "信号が出ていません: "
                                     : "送信していません。送信しても信号は出ません: ") +
                       joined(problems, &SignalProblem::brief, "、");
    }

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
        look.text = "JJY の信号がまた出ています（" +
                    (status.device.empty() ? status.server : status.device) + "）。";
        return look;
    }
    if (m_problem.empty())
        m_since = now;
    m_problem = problem;
    // A stream takes a moment to start after switching on, and a file being replaced is
    // missing for an instant: only a problem that lasts is told.
    using namespace std::chrono_literals;
    if (now - m_since < 2s && !m_inEpisode)
        return look;
    look.text = "JJY の信号が出ていません。電波時計は合わせられません。\n\n" + problem +
                "\n\n直ると、信号がまた出ていることをお知らせします。";
    look.tell = m_inEpisode ? Tell::ProblemNow : Tell::Problem;
    m_inEpisode = true;
    return look;
}

}  // namespace display

// Whether the signal gets out: the sound output's state in Label4's tooltip, the messages that
// tell the user when it does not and when it is back, and the warning about an unsynchronised
// PC clock.

#include "form1.h"

#include "mod_ini_edit.h"

#include <QFileInfo>
#include <QMessageBox>

#include <cmath>
#include <cstdio>

namespace app {

namespace {

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Which pulses a file carries, by its name.
QString pulseKind(const QString& fileName)
{
    if (fileName == QLatin1String("200ms.wav"))
        return QStringLiteral("マーカー（0.2 秒）");
    if (fileName == QLatin1String("500ms.wav"))
        return QStringLiteral("「1」（0.5 秒）");
    if (fileName == QLatin1String("800ms.wav"))
        return QStringLiteral("「0」（0.8 秒）");
    return fileName;
}

struct Problem {
    QString brief;   // for the tooltip: one line
    QString detail;  // for the message: what is wrong and what to do
};

// What keeps the signal from getting out; empty when nothing does.
std::vector<Problem> problemsOf(const platform::SoundStatus& s)
{
    std::vector<Problem> found;
    const QString server = s.server.empty() ? QStringLiteral("PipeWire または PulseAudio")
                                            : fromUtf8(s.server);
    if (!s.serverReachable) {
        found.push_back({QStringLiteral("サウンドサーバーに接続できません"),
                         QStringLiteral("サウンドサーバー（%1）に接続できません。\n"
                                        "デスクトップにログインした状態でこのプログラムを起動するか、"
                                        "サウンドサーバーを起動してください"
                                        "（例: systemctl --user start pipewire pipewire-pulse）。")
                             .arg(server)});
    } else if (s.device.empty()) {
        found.push_back({QStringLiteral("音声の出力先がありません"),
                         QStringLiteral("音声の出力先（スピーカーやヘッドホン）が見つかりません。\n"
                                        "出力先を接続するか、サウンドの設定で出力先を選んでください。")});
    } else if (!s.streamRunning) {
        found.push_back({QStringLiteral("音声の出力を始められません"),
                         QStringLiteral("出力先「%1」への音声の出力を始められません（%2）。\n"
                                        "サウンドの設定で出力先が使えるか確かめてください。")
                             .arg(fromUtf8(s.device), server)});
    }
    for (const platform::SoundFileState& f : s.files) {
        if (f.playable)
            continue;
        const QFileInfo file(fromUtf8(f.path));
        const QString reason = f.reason.empty() ? QStringLiteral("再生できません") : fromUtf8(f.reason);
        found.push_back({QStringLiteral("%1: %2").arg(file.fileName(), reason),
                         QStringLiteral("音声ファイル「%1」を使えません: %2。\n"
                                        "%3のパルスは無音になります。\n"
                                        "プログラムのパッケージからファイルをコピーし直すか、"
                                        "「%4/pendrel-make-sounds %4」を実行して作り直してください"
                                        "（60 kHz 用は --carrier 60、電波そのものの周波数で送る音は "
                                        "--direct を付けます）。")
                             .arg(file.filePath(), reason, pulseKind(file.fileName()),
                                  file.path())});
    }
    return found;
}

}  // namespace

void Form1::checkSignal()
{
    const platform::SoundStatus status = m_services.sound->status();
    // An output that reports nothing at all (not even which server it speaks to) cannot be
    // judged: say so in the tooltip rather than claim the signal is lost or goes out.
    if (status == platform::SoundStatus{}) {
        const QString tip = QStringLiteral("音声の出力の状態はわかりません");
        if (Label4->toolTip() != tip)
            Label4->setToolTip(tip);
        m_signalProblem.clear();
        return;
    }
    const std::vector<Problem> problems = problemsOf(status);
    const bool transmitting = option1Selected(0) && !m_closed;

    QString tip;
    if (problems.empty()) {
        const QString where = status.device.empty()
                                  ? fromUtf8(status.server)
                                  : QStringLiteral("%1、出力先: %2")
                                        .arg(fromUtf8(status.server), fromUtf8(status.device));
        tip = transmitting ? QStringLiteral("信号を送信しています（%1）").arg(where)
                           : QStringLiteral("送信していません。音声の出力は使えます（%1）").arg(where);
    } else {
        QStringList lines;
        for (const Problem& p : problems)
            lines << p.brief;
        tip = (transmitting ? QStringLiteral("信号が出ていません: ")
                            : QStringLiteral("送信していません。送信しても信号は出ません: ")) +
              lines.join(QStringLiteral("、"));
    }
    if (Label4->toolTip() != tip)
        Label4->setToolTip(tip);

    QString problem;
    for (const Problem& p : problems)
        problem += (problem.isEmpty() ? QString() : QStringLiteral("\n\n")) + p.detail;
    const runtime::LocalTime now = m_services.clock->now();

    if (transmitting)
        warnIfCarrierCannotPass(status);

    if (!transmitting) {
        m_inEpisode = false;
        m_signalProblem.clear();
        return;
    }
    if (problem.isEmpty()) {
        m_signalProblem.clear();
        if (!m_inEpisode)
            return;
        m_inEpisode = false;
        if (m_signalBox)
            m_signalBox->close();
        showMessage(QMessageBox::Information,
                    QStringLiteral("JJY の信号がまた出ています（%1）。")
                        .arg(status.device.empty() ? fromUtf8(status.server) : fromUtf8(status.device)),
                    QStringLiteral("PendrelSignalBack"));
        return;
    }
    if (m_signalProblem.isEmpty())
        m_problemSince = now;
    m_signalProblem = problem;
    // A stream takes a moment to start after switching on, and a file being replaced is
    // missing for an instant: only a problem that lasts is told.
    using namespace std::chrono_literals;
    if (now - m_problemSince < 2s && !m_inEpisode)
        return;
    const QString text = QStringLiteral("JJY の信号が出ていません。電波時計は合わせられません。\n\n") +
                         problem +
                         QStringLiteral("\n\n直ると、信号がまた出ていることをお知らせします。");
    if (m_inEpisode) {
        // Still the same episode: the open box follows what is wrong now; a closed one stays
        // closed.
        if (m_signalBox && m_signalBox->text() != text)
            m_signalBox->setText(text);
        return;
    }
    m_inEpisode = true;
    m_signalBox = showMessage(QMessageBox::Warning, text, QStringLiteral("PendrelSignalMessage"));
}

// A device fed at a rate carries tones only up to a little below half of it: a direct 40 kHz
// set through a 48 kHz output never reaches the clock. The program keeps sending (the user may
// be about to change the rate) and says so once for each rate and carrier.
void Form1::warnIfCarrierCannotPass(const platform::SoundStatus& status)
{
    constexpr double kPassable = 0.45;
    if (status.outputRate == 0 || status.carrierHz <= kPassable * status.outputRate)
        return;
    const long carrier = std::lround(status.carrierHz);
    if (status.outputRate == m_carrierWarnedRate && carrier == m_carrierWarnedHz)
        return;
    m_carrierWarnedRate = status.outputRate;
    m_carrierWarnedHz = carrier;
    std::fprintf(stderr, "pendrel: the sound output runs at %u Hz, too slow for the %ld Hz tone of "
                 "the pulse files; sending on\n", status.outputRate, carrier);
    showMessage(QMessageBox::Warning,
                QStringLiteral("音声ファイルの信号は %1 kHz ですが、音声の出力が %2 kHz で動いているため、"
                               "この信号は出力されません（出せるのは %3 kHz ぐらいまでです）。"
                               "電波時計は合わせられません。送信はこのまま続けます。\n\n"
                               "サウンドサーバーを 96 kHz か 192 kHz で動かすか、13 kHz（40 kHz の"
                               "電波時計用）や 20 kHz（60 kHz 用）の音声ファイルに戻してください"
                               "（%4/pendrel-make-sounds %4）。詳しくはマニュアルの"
                               "「音声ファイルの種類と作り方」をご覧ください。")
                    .arg(status.carrierHz / 1000, 0, 'f', 1)
                    .arg(status.outputRate / 1000.0, 0, 'f', 1)
                    .arg(kPassable * status.outputRate / 1000, 0, 'f', 1)
                    .arg(QString::fromStdString(programFolder())),
                QStringLiteral("PendrelCarrierMessage"));
}

// The PC clock is what the radio clock gets set to; say so when nothing keeps it right.
void Form1::warnIfClockUntrusted()
{
    if (!m_services.clockSync)
        return;
    const platform::ClockSync sync = m_services.clockSync();
    if (!platform::clockUntrustworthy(sync)) {
        if (sync.known)
            m_clockWarned = false;
        return;
    }
    if (m_clockWarned)
        return;
    m_clockWarned = true;
    const QString state =
        !sync.synchronised
            ? QStringLiteral("同期されていません")
            : QStringLiteral("誤差が %1 秒ほどあるかもしれません")
                  .arg(double(sync.estimatedError.count()) / 1e6, 0, 'f', 1);
    showMessage(QMessageBox::Warning,
                QStringLiteral("PC の時計がインターネットの時刻（NTP）に%1。\n"
                               "電波時計は PC の時計のとおりの時刻に合わせられます。PC の時計が"
                               "ずれていれば、電波時計も同じだけずれます。\n\n"
                               "時計を同期するには、端末で「timedatectl set-ntp true」を実行し、"
                               "「timedatectl」が「System clock synchronized: yes」と表示するのを"
                               "確かめてください。詳しくはマニュアルの「PC の時計を合わせる」を"
                               "ご覧ください。")
                    .arg(state),
                QStringLiteral("PendrelClockMessage"));
}

}  // namespace app

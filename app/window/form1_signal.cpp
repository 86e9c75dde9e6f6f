// Whether the signal gets out: the sound output's state in Label4's tooltip, the messages that
// tell the user when it does not and when it is back, and the warning about an unsynchronised
// PC clock.

#include "app/window/form1.h"

#include <cmath>
#include <cstdio>

namespace app {

namespace {

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

}  // namespace

void Form1::checkSignal()
{
    const platform::SoundStatus status = m_services.sound->status();
    const bool transmitting = option1Selected(0) && !m_closed;
    const display::SignalWatch::Look look =
        m_signalState.look(status, transmitting, m_services.clock->now());
    const QString tip = fromUtf8(look.tooltip);
    if (Label4->toolTip() != tip)
        Label4->setToolTip(tip);
    if (status == platform::SoundStatus{})
        return;

    if (transmitting)
        warnIfCarrierCannotPass(status);

    const QString text = fromUtf8(look.text);
    switch (look.tell) {
    case display::SignalWatch::Tell::Nothing:
        break;
    case display::SignalWatch::Tell::Problem:
        m_signalNotice = showMessage(MessageIcon::Warning, text,
                                     QStringLiteral("PendrelSignalMessage"));
        break;
    case display::SignalWatch::Tell::ProblemNow:
        // Still the same episode: the open notice follows what is wrong now; a closed one
        // stays closed.
        m_services.messages->setText(m_signalNotice, text);
        break;
    case display::SignalWatch::Tell::Back:
        // A way out put right (unmuted, turned up) closes its notice and needs no other.
        m_services.messages->close(m_signalNotice);
        if (!text.isEmpty())
            showMessage(MessageIcon::Information, text, QStringLiteral("PendrelSignalBack"));
        break;
    }
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
    showMessage(MessageIcon::Warning,
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
                    .arg(QString::fromStdString(m_services.programFolder)),
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
    showMessage(MessageIcon::Warning,
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

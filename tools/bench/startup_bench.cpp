// Start-up with a settings file at the 4 MiB limit: Form_Load to the window's first frame,
// against the same start with a small file. The settings file is the worst kind to read:
// lines without '=' and headers without ']', the 24 keys at its very end. Nothing is
// dialled: no link is marked for connection and every host is 127.0.0.1.

#include "app/optionip.h"
#include "settings/inifile.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>

#include <cstdio>

namespace
{

constexpr double GoalMs = 1000;

QByteArray keys()
{
    QByteArray text = "[set]\n";
    for (int i = 0; i < OptionIP::LinkCount; ++i)
        text += "Scon" + QByteArray::number(i) + "=True\nport" + QByteArray::number(i) +
                "=1502\ntxtIP" + QByteArray::number(i) + "=127.0.0.1\n";
    for (int s = 0; s < OptionIP::SlotCount; ++s)
        text += "strreg" + QByteArray::number(s) + "=1\nlegreg" + QByteArray::number(s) +
                "=10\nLstIP" + QByteArray::number(s) + "=0\n";
    return text;
}

QByteArray largeFile()
{
    const QByteArray tail = keys();
    QByteArray text;
    const QByteArray filler = "; a line with no equals sign\n[unclosed\n";
    while (text.size() + filler.size() + tail.size() <= inifile::MaxFileBytes)
        text += filler;
    return text + tail;
}

// Sees the window's first paint.
class FirstFrame : public QObject
{
public:
    bool seen = false;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) seen = true;
        return false;
    }
};

// Milliseconds from Form_Load to the first frame, or -1 when no frame came or the keys at the
// end of the file were not loaded.
double startMs(const QByteArray &settings)
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("setting.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(settings) != settings.size()) return -1;
    file.close();

    OptionIP window(dir.path());
    FirstFrame frame;
    window.installEventFilter(&frame);
    QElapsedTimer clock;
    clock.start();
    window.Form_Load();
    window.show();
    while (!frame.seen && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    window.hide();
    const bool loaded = window.txtPort[2]->text() == QLatin1String("1502");
    return frame.seen && loaded ? ms : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QByteArray large = largeFile();
    const double small = startMs(keys());
    const double big = startMs(large);
    std::printf("start-up, Form_Load to first frame, %lld-byte setting.ini:  %.1f ms\n",
                qint64(keys().size()), small);
    std::printf("start-up, Form_Load to first frame, %lld-byte setting.ini: %.1f ms (goal < %.0f "
                "ms): %s\n",
                qint64(large.size()), big, GoalMs, big >= 0 && big < GoalMs ? "met" : "NOT MET");
    return big >= 0 && big < GoalMs ? 0 : 1;
}

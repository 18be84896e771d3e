#include "settings/module1.h"

#include "settings/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <optional>

namespace Module1
{

namespace
{

// A read fills a 255-place buffer whose last place holds the terminating NUL.
constexpr qsizetype MaxValueLength = 254;

QByteArray lineEnding()
{
#ifdef Q_OS_WIN
    return QByteArrayLiteral("\r\n");
#else
    return QByteArrayLiteral("\n");
#endif
}

QString textOf(const QVariant &value)
{
    // QVariant's own conversion would give "true" and "false".
    if (value.typeId() == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    return value.toString();
}

QString limited(const QString &text)
{
    if (text.size() <= MaxValueLength) return text;
    qsizetype length = MaxValueLength;
    // Never keep half of a surrogate pair.
    if (text.at(length - 1).isHighSurrogate()) --length;
    return text.left(length);
}

enum class FileState { Missing, Read, Unusable };

struct FileContent {
    FileState state = FileState::Missing;
    QByteArray bytes;
    bool oversized = false; // only the first MaxFileBytes were taken
};

FileContent readSettingsFile(const QString &path)
{
    FileContent content;
    const QFileInfo info(path);
    if (!info.exists()) return content;
    content.state = FileState::Unusable;
    // A directory, a pipe or a device is no settings file, and opening a pipe could block.
    if (!info.isFile()) return content;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return content;
    content.bytes = file.read(inifile::MaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError) return content;
    content.state = FileState::Read;
    if (content.bytes.size() > inifile::MaxFileBytes) {
        content.oversized = true;
        // A line cut by the limit is not looked at.
        const qsizetype lastNewline = content.bytes.lastIndexOf('\n', inifile::MaxFileBytes - 1);
        content.bytes.truncate(lastNewline < 0 ? 0 : lastNewline + 1);
    }
    return content;
}

} // namespace

QString setting_path(const QString &dir)
{
    return dir + QDir::separator() + QStringLiteral("setting.ini");
}

QString setting_read(const QString &dir, const QString &section, const QString &key,
                     const QVariant &defaultValue)
{
    const QString defaultText = textOf(defaultValue);
    const FileContent content = readSettingsFile(setting_path(dir));
    if (content.state != FileState::Read) return limited(defaultText);
    const std::optional<QByteArray> stored =
        inifile::readValue(content.bytes, section.toLocal8Bit(), key.toLocal8Bit());
    return limited(stored ? QString::fromLocal8Bit(*stored) : defaultText);
}

qint32 setting_write(const QString &dir, const QString &section, const QString &key,
                     const QString &value)
{
    const QString path = setting_path(dir);
    const FileContent content = readSettingsFile(path);
    // Lines we do not own must survive, so a file we cannot read whole is not replaced.
    if (content.state == FileState::Unusable || content.oversized) return 0;

    const std::optional<QByteArray> updated = inifile::writeValue(
        content.bytes, section.toLocal8Bit(), key.toLocal8Bit(), value.toLocal8Bit(), lineEnding());
    if (!updated) return 0;

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return 0;
    if (file.write(*updated) != updated->size()) {
        file.cancelWriting();
        return 0;
    }
    return file.commit() ? 1 : 0;
}

} // namespace Module1

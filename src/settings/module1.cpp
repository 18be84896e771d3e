#include "settings/module1.h"

#include "files/wholefile.h"
#include "settings/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <optional>
#include <utility>

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
    files::Failure failure; // why it is Unusable
};

FileContent readSettingsFile(const QString &path)
{
    FileContent content;
    const QFileInfo info(path);
    if (!info.exists()) return content;
    content.state = FileState::Unusable;
    // A directory, a pipe or a device is no settings file, and opening a pipe could block.
    if (!info.isFile()) {
        content.failure = {QStringLiteral("something other than a file is in its place"),
                           files::systemReason(info.isDir() ? EISDIR : EINVAL)};
        return content;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        content.failure = {QStringLiteral("cannot read it to keep its other lines"),
                           file.errorString()};
        return content;
    }
    content.bytes = file.read(inifile::MaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        content.failure = {QStringLiteral("cannot read it to keep its other lines"),
                           file.errorString()};
        return content;
    }
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

StoredSettings::StoredSettings(const QString &dir, const QString &section)
{
    const FileContent content = readSettingsFile(setting_path(dir));
    if (content.state == FileState::Read)
        m_entries = inifile::sectionEntries(content.bytes, section.toLocal8Bit());
}

QString StoredSettings::read(const QString &key, const QVariant &defaultValue) const
{
    const std::optional<QByteArray> stored = inifile::valueOf(m_entries, key.toLocal8Bit());
    return limited(stored ? QString::fromLocal8Bit(*stored) : textOf(defaultValue));
}

bool StoredSettings::holds(const QString &key) const
{
    return inifile::valueOf(m_entries, key.toLocal8Bit()).has_value();
}

QString setting_read(const QString &dir, const QString &section, const QString &key,
                     const QVariant &defaultValue)
{
    return StoredSettings(dir, section).read(key, defaultValue);
}

qint32 setting_write(const QString &dir, const QString &section, const QString &key,
                     const QString &value)
{
    return setting_write_all(dir, section, {{key, value}});
}

qint32 setting_write_all(const QString &dir, const QString &section, const Entries &entries)
{
    const QByteArray sectionName = section.toLocal8Bit();
    const QString path = setting_path(dir);
    const FileContent content = readSettingsFile(path);
    // Lines we do not own must survive, so a file we cannot read whole is not replaced.
    if (content.state == FileState::Unusable) {
        files::report(path, content.failure);
        return 0;
    }
    if (content.oversized) {
        files::report(
            path, {QStringLiteral("the file is larger than 4 MiB"), files::systemReason(EFBIG)});
        return 0;
    }

    QByteArray updated = content.bytes;
    for (const auto &[key, value] : entries) {
        std::optional<QByteArray> next = inifile::writeValue(
            updated, sectionName, key.toLocal8Bit(), value.toLocal8Bit(), lineEnding());
        if (!next) return 0;
        updated = std::move(*next);
    }
    if (const std::optional<files::Failure> failure = files::replaceFile(path, updated)) {
        files::report(path, *failure);
        return 0;
    }
    return 1;
}

} // namespace Module1

#include "config/IniFile.h"

#include "base/TextTrim.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <filesystem>
#include <system_error>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace lw::config {

namespace {

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<QString> SectionName(const QString& line)
{
    const QString trimmed = base::TrimSpacesAndTabs(line);
    if (!trimmed.startsWith(u'[')) return std::nullopt;
    const qsizetype close = trimmed.indexOf(u']');
    if (close < 0) return std::nullopt;
    return base::TrimSpacesAndTabs(trimmed.mid(1, close - 1));
}

bool IsKeyLine(const QString& line, const QString& key)
{
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0) return false;
    return base::TrimSpacesAndTabs(line.left(eq)).compare(key, Qt::CaseInsensitive) == 0;
}

bool SyncToDisk(int fd)
{
#ifdef Q_OS_WIN
    return _commit(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

// Makes the rename itself durable; best effort, since not every file system allows it.
void SyncFolder(const QString& folder)
{
#ifndef Q_OS_WIN
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(folder);
#endif
}

} // namespace

IniFile IniFile::Load(const QString& path)
{
    QString error;
    return LoadForUpdate(path, error).value_or(IniFile{});
}

std::optional<IniFile> IniFile::LoadForUpdate(const QString& path, QString& error)
{
    IniFile ini;
    QFile file(path);
    if (!file.exists()) return ini;
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    QString text;
    // An editor may save the file as UTF-16 with a byte-order mark; the system's own saves are UTF-8.
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        QStringDecoder decode(bytes.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        text = decode(bytes.mid(2));
    } else {
        if (bytes.startsWith("\xEF\xBB\xBF")) bytes.remove(0, 3);
        text = QString::fromUtf8(bytes);
    }
    ini.m_lines = text.split(u'\n');
    if (!ini.m_lines.isEmpty() && ini.m_lines.last().isEmpty()) ini.m_lines.removeLast();
    for (QString& line : ini.m_lines) {
        if (line.endsWith(u'\r')) line.chop(1);
    }
    return ini;
}

std::optional<std::pair<qsizetype, qsizetype>> IniFile::SectionRange(const QString& section) const
{
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const auto name = SectionName(m_lines.at(i));
        if (!name || name->compare(section, Qt::CaseInsensitive) != 0) continue;
        qsizetype end = i + 1;
        while (end < m_lines.size() && !SectionName(m_lines.at(end)))
            ++end;
        return std::make_pair(i + 1, end);
    }
    return std::nullopt;
}

qsizetype IniFile::LineOf(const QString& section, const QString& key) const
{
    const auto range = SectionRange(section);
    if (!range) return -1;
    for (qsizetype i = range->first; i < range->second; ++i) {
        if (IsKeyLine(m_lines.at(i), key)) return i;
    }
    return -1;
}

std::optional<QString> IniFile::Value(const QString& section, const QString& key) const
{
    const qsizetype line = LineOf(section, key);
    if (line < 0) return std::nullopt;
    const QString& text = m_lines.at(line);
    return base::TrimSpacesAndTabs(text.mid(text.indexOf(u'=') + 1));
}

void IniFile::SetValue(const QString& section, const QString& key, const QString& value)
{
    // A line break inside a value would cut the file's line in two and leave a stray line.
    QString flat = value;
    flat.replace(u'\r', u' ');
    flat.replace(u'\n', u' ');
    const QString line = key + u'=' + flat;

    const qsizetype existing = LineOf(section, key);
    if (existing >= 0) {
        m_lines[existing] = line;
        return;
    }
    const auto range = SectionRange(section);
    if (!range) {
        m_lines.append(u'[' + section + u']');
        m_lines.append(line);
        return;
    }
    // After the last non-blank line of the section, so a blank separator line stays below it.
    qsizetype at = range->second;
    while (at > range->first && base::TrimSpacesAndTabs(m_lines.at(at - 1)).isEmpty())
        --at;
    m_lines.insert(at, line);
}

bool IniFile::Save(const QString& path, qsizetype& failedLine, QString& error) const
{
    failedLine = -1;
    const QString temp = path + QStringLiteral(".tmp");
    QFile file(temp);
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered, ownerOnly)) {
        error = file.errorString();
        return false;
    }
    // A temporary file left by a crash keeps its old mode when reopened.
    file.setPermissions(ownerOnly);

    // Unbuffered, one write per line: a full disk shows at the line it hits.
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QByteArray bytes = m_lines.at(i).toUtf8() + '\n';
        if (file.write(bytes) != bytes.size()) {
            failedLine = i;
            error = file.errorString();
            file.close();
            QFile::remove(temp);
            return false;
        }
    }
    if (!SyncToDisk(file.handle())) {
        error = QStringLiteral("cannot flush %1 to disk").arg(temp);
        file.close();
        QFile::remove(temp);
        return false;
    }
    file.close();

    std::error_code code;
    std::filesystem::rename(std::filesystem::path(temp.toStdU16String()),
                            std::filesystem::path(path.toStdU16String()), code);
    if (code) {
        error = QString::fromStdString(code.message());
        QFile::remove(temp);
        return false;
    }
    SyncFolder(QFileInfo(path).absolutePath());
    return true;
}

} // namespace lw::config

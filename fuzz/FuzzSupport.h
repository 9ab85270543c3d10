#pragma once

// Helpers shared by the fuzz targets: a scratch program folder that lives for the whole run.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace lw::fuzz {

// One temporary folder per process, removed at exit.
inline const QString& ScratchFolder()
{
    static QTemporaryDir dir;
    static const QString path = QDir::toNativeSeparators(dir.path()) + QDir::separator();
    return path;
}

// Writes the input to a file in the scratch folder and returns its path.
inline QString WriteInput(const char* name, const std::uint8_t* data, std::size_t size)
{
    const QString path = ScratchFolder() + QString::fromLatin1(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    return path;
}

inline QByteArray Bytes(const std::uint8_t* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

} // namespace lw::fuzz

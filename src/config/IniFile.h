#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace lw::config {

// A settings file in memory: the lines of an existing file kept as they are (other sections,
// comments, unknown keys), keys looked up per section without regard to letter case. UTF-8.
class IniFile {
  public:
    // Reads the file at path; a missing or unreadable file gives an empty one (never fails).
    static IniFile Load(const QString& path);

    // Reads the file for an update: a missing file gives an empty one, but a file that exists
    // and cannot be read gives nullopt, so that a save never drops what it could not see.
    static std::optional<IniFile> LoadForUpdate(const QString& path, QString& error);

    // The whole value of the first `key` line in `section`, blanks around it removed;
    // nullopt when the section or key is missing.
    std::optional<QString> Value(const QString& section, const QString& key) const;

    // Sets the value in place of the key's first line; a new key goes after the section's last
    // key line, a new section at the end of the file.
    void SetValue(const QString& section, const QString& key, const QString& value);

    // Index of the line that holds `key` in `section`, or -1.
    qsizetype LineOf(const QString& section, const QString& key) const;

    // The file's lines, as they will be written.
    const QStringList& Lines() const { return m_lines; }

    // Writes every line to a temporary file beside `path`, flushes it to disk and renames it
    // over `path`, readable by the owner only. On failure the old file is left as it was,
    // failedLine is the line that could not be written (-1 when the file as a whole could not
    // be created or committed) and error says why.
    [[nodiscard]] bool Save(const QString& path, qsizetype& failedLine, QString& error) const;

  private:
    // [first, last) line range of a section's body, or nullopt.
    std::optional<std::pair<qsizetype, qsizetype>> SectionRange(const QString& section) const;

    QStringList m_lines;
};

} // namespace lw::config

#include "config/Settings.h"

#include "config/ConnectionSecurity.h"
#include "config/IniFile.h"
#include "mail/AddressList.h"
#include "base/TextTrim.h"

#include <QDir>
#include <QLocale>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace lw::config {

namespace {

using K = SettingKind;
using S = Setting;

constexpr std::array<SettingKey, kSettingCount> kKeys{{
    {S::PopServer, "popserver", "txtSvpop", K::Text, "popserver"},
    {S::PopAccount, "popaccount", "txtAcpop", K::Text, "popaccount"},
    {S::PopPassword, "poppassword", "txtPwpop", K::Text, "poppassword"},
    {S::SmtpServer, "smtpserver", "txtSvsmtp", K::Text, "smtpserver"},
    {S::SmtpAccount, "smtpaccount", "txtAcsmtp", K::Text, "smtpaccount"},
    {S::SmtpPassword, "smtppassword", "txtPwsmtp", K::Text, "smtppassword"},
    {S::SmtpAuthEnabled, "flgauth", "chkAuth", K::Check, "0"},
    {S::SmtpAuthMechanism, "authtyp", "cboAuthtyp", K::Combo, "0"},
    {S::SmtpUsesPopLogin, "flgacpwpop", "chkAcpwpop", K::Check, "0"},
    {S::PopPort, "portpop", "txtPortpop", K::Text, "110"},
    {S::SmtpPort, "portsmtp", "txtPortsmtp", K::Text, "25"},
    {S::SmtpTimeoutSeconds, "timeoutsmtp", "txtTimeoutsmtp", K::Text, "120"},
    {S::IntervalMs, "Interval", "txtIntv", K::Text, "60000"},
    {S::ListDatabaseName, "reffile", "txtList", K::Text, "list"},
    {S::SaveFolderName, "savedir", "txtStock", K::Text, "mail"},
    {S::LogBaseName, "logfile", "txtLog", K::Text, "log"},
    {S::KeepDays, "keepday", "txtKeep", K::Text, "60"},
    {S::ForwardEnabled, "flgtrs", "chkTrs", K::Check, "0"},
    {S::ForwardTarget, "flgtrstgt", "optTrsTgt", K::Option, "0"},
    {S::UseFixedForwardAddresses, "flgtrsto", "chkTrsto", K::Check, "0"},
    {S::ForwardTo, "trsto", "txtTrsto", K::Text, ""},
    {S::ForwardCc, "trscc", "txtTrscc", K::Text, ""},
    {S::ForwardBcc, "trsbcc", "txtTrsbcc", K::Text, ""},
    {S::CommandMailEnabled, "flgcmd", "chkCmd", K::Check, "0"},
    {S::CommandAccount, "cmdaccount", "txtAccmd", K::Text, "cmdaccount"},
    {S::CommandPassword, "cmdpassword", "txtPwcmd", K::Text, "cmdpassword"},
}};

constexpr std::size_t Index(Setting setting)
{
    return static_cast<std::size_t>(setting);
}

constexpr bool RowsInSettingOrder()
{
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        if (Index(kKeys[i].setting) != i) return false;
    return true;
}
static_assert(RowsInSettingOrder(), "the table is indexed by Setting");

// Highest state each kind of field accepts (text fields have none).
int MaxState(SettingKind kind)
{
    switch (kind) {
    case K::Check:
        return 2;
    case K::Combo:
        return 3;
    case K::Option:
        return 2;
    case K::Text:
        break;
    }
    return 0;
}

QString Key(const SettingKey& setting)
{
    return QString::fromLatin1(setting.key);
}

// Halves go to the even neighbour, as whole-number conversion of the field text always did.
double RoundHalfEven(double value)
{
    return value - std::remainder(value, 1.0);
}

// The number at the start of a text (blanks before it skipped); 0 when it begins with none.
double LeadingNumber(const QString& text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text.at(i) == u' ' || text.at(i) == u'\t'))
        ++i;
    const qsizetype start = i;
    if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) ++i;
    const auto digits = [&] {
        const qsizetype from = i;
        while (i < n && text.at(i) >= u'0' && text.at(i) <= u'9')
            ++i;
        return i - from;
    };
    qsizetype count = digits();
    if (i < n && text.at(i) == u'.') {
        ++i;
        count += digits();
    }
    if (count == 0) return 0;
    qsizetype end = i;
    if (i < n && (text.at(i) == u'e' || text.at(i) == u'E')) {
        ++i;
        if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) ++i;
        if (digits() > 0) end = i;
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(text.mid(start, end - start), &ok);
    return ok && std::isfinite(value) ? value : 0;
}

// A stored state that its field does not accept loads as 0.
int LoadedState(const QString& text, SettingKind kind)
{
    const double value = RoundHalfEven(LeadingNumber(text));
    if (value < 0 || value > MaxState(kind)) return 0;
    return static_cast<int>(value);
}

// The whole text as a number rounded to a whole one (blanks around, sign, decimal point and
// exponent allowed); nullopt when it is empty or not a number.
std::optional<double> WholeNumber(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) return std::nullopt;
    bool ok = false;
    const double value = QLocale::c().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(value)) return std::nullopt;
    return RoundHalfEven(value);
}

std::int16_t Int16Or(const QString& text, std::int16_t fallback)
{
    const auto value = WholeNumber(text);
    if (!value || *value < std::numeric_limits<std::int16_t>::min() ||
        *value > std::numeric_limits<std::int16_t>::max())
        return fallback;
    return static_cast<std::int16_t>(*value);
}

// A TCP port, 1 to 65535; anything else gives the fallback.
std::uint16_t PortOr(const QString& text, std::uint16_t fallback)
{
    const auto value = WholeNumber(text);
    if (!value || *value < 1 || *value > std::numeric_limits<std::uint16_t>::max()) return fallback;
    return static_cast<std::uint16_t>(*value);
}

std::int32_t Int32Or(const QString& text, std::int32_t fallback)
{
    const auto value = WholeNumber(text);
    if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max())
        return fallback;
    return static_cast<std::int32_t>(*value);
}

// Missing and empty both mean "not set".
QString ValueOrDefault(const IniFile& ini, const SettingKey& setting)
{
    const auto value = ini.Value(QString::fromLatin1(kSettingsSection), Key(setting));
    if (!value || value->isEmpty()) return QString::fromUtf8(setting.defaultText);
    return *value;
}

// Writes all keys at once. On failure failedKey is the key whose line could not be written,
// or the first key when the file as a whole could not be read, created or committed: nothing
// of this save reaches the file then.
bool SaveAll(const WorkingCopy& copy, QString& failedKey, QString& error)
{
    const QString path = SettingsPath(copy.ProgramFolder(), QString::fromLatin1(kSettingsFileName));
    const QString section = QString::fromLatin1(kSettingsSection);
    failedKey = Key(kKeys.front());
    const std::lock_guard lock(SettingsFileMutex());
    auto ini = IniFile::LoadForUpdate(path, error);
    if (!ini) return false;
    for (const SettingKey& setting : kKeys)
        ini->SetValue(section, Key(setting), StoredText(copy, setting));

    qsizetype failedLine = -1;
    if (ini->Save(path, failedLine, error)) return true;
    for (const SettingKey& setting : kKeys) {
        if (failedLine >= 0 && ini->LineOf(section, Key(setting)) == failedLine) failedKey = Key(setting);
    }
    return false;
}

QString FailureText(const QString& key)
{
    return key + QStringLiteral("の設定に失敗しました。");
}

} // namespace

const std::array<SettingKey, kSettingCount>& SettingKeys()
{
    return kKeys;
}

QString KeyOf(Setting setting)
{
    return QString::fromLatin1(kKeys[Index(setting)].key);
}

QString SettingsPath(const QString& folder, const QString& fileName)
{
    if (folder.endsWith(QDir::separator()) || folder.endsWith(u'/')) return folder + fileName;
    return folder + QDir::separator() + fileName;
}

QString ReadSetting(const QString& folder, const QString& fileName, const QString& section,
                    const QString& key, const QString& defaultText)
{
    const auto value = IniFile::Load(SettingsPath(folder, fileName)).Value(section, key);
    if (!value || value->isEmpty()) return defaultText;
    return *value;
}

bool WriteSetting(const QString& folder, const QString& fileName, const QString& section, const QString& key,
                  const QString& value)
{
    const QString path = SettingsPath(folder, fileName);
    QString error;
    const std::lock_guard lock(SettingsFileMutex());
    auto ini = IniFile::LoadForUpdate(path, error);
    if (!ini) return false;
    ini->SetValue(section, key, value);
    qsizetype failedLine = -1;
    return ini->Save(path, failedLine, error);
}

void LoadSettingsIntoWindow(WorkingCopy& copy, const QString& folder)
{
    const IniFile ini = IniFile::Load(SettingsPath(folder, QString::fromLatin1(kSettingsFileName)));
    for (const SettingKey& setting : kKeys) {
        const QString text = ValueOrDefault(ini, setting);
        if (setting.kind == K::Text)
            copy.SetText(Key(setting), text);
        else
            copy.SetState(Key(setting), LoadedState(text, setting.kind));
    }
}

QString StoredText(const WorkingCopy& copy, const SettingKey& setting)
{
    const QString key = Key(setting);
    switch (setting.kind) {
    case K::Text:
        return base::TrimSpaces(copy.Text(key));
    case K::Check:
        return QString::number(copy.State(key));
    case K::Combo:
    case K::Option: {
        // No selection (or one the field cannot have) is stored as the first entry.
        const int state = copy.State(key);
        return QString::number(state >= 0 && state <= MaxState(setting.kind) ? state : 0);
    }
    }
    return {};
}

base::Status SaveSettings(const WorkingCopy& copy)
{
    QString failedKey;
    QString error;
    if (SaveAll(copy, failedKey, error)) return {};
    return base::Fail(FailureText(failedKey));
}

SettingsRecord TakeSettingsSnapshot(const WorkingCopy& copy)
{
    const auto text = [&](Setting setting) { return copy.Text(KeyOf(setting)); };
    const auto ticked = [&](Setting setting) { return copy.State(KeyOf(setting)) == 1; };
    // A state the field cannot have counts as its first entry.
    const auto selected = [&](Setting setting) {
        const int state = copy.State(KeyOf(setting));
        const bool accepted = state >= 0 && state <= MaxState(kKeys[Index(setting)].kind);
        return static_cast<std::int16_t>(accepted ? state : 0);
    };

    SettingsRecord record;
    record.popServer = text(S::PopServer);
    record.popAccount = text(S::PopAccount);
    record.popPassword = text(S::PopPassword);
    record.smtpServer = text(S::SmtpServer);
    record.smtpAccount = text(S::SmtpAccount);
    record.smtpPassword = text(S::SmtpPassword);
    record.smtpAuthEnabled = ticked(S::SmtpAuthEnabled);
    record.smtpAuthMechanism = static_cast<SmtpAuthMechanism>(selected(S::SmtpAuthMechanism));
    record.smtpUsesPopLogin = ticked(S::SmtpUsesPopLogin);
    record.popPort = PortOr(text(S::PopPort), 110);
    record.smtpPort = PortOr(text(S::SmtpPort), 25);
    record.smtpTimeoutSeconds = Int16Or(text(S::SmtpTimeoutSeconds), 120);
    record.intervalMs = Int32Or(text(S::IntervalMs), 60000);
    record.listDatabaseName = text(S::ListDatabaseName);
    record.logBaseName = text(S::LogBaseName);
    record.keepDays = Int16Or(text(S::KeepDays), 60);
    record.saveFolderName = text(S::SaveFolderName);
    record.forwardEnabled = ticked(S::ForwardEnabled);
    record.forwardTarget = static_cast<ForwardTarget>(selected(S::ForwardTarget));
    record.useFixedForwardAddresses = ticked(S::UseFixedForwardAddresses);
    record.forwardTo = mail::NormaliseAddressList(text(S::ForwardTo));
    record.forwardCc = mail::NormaliseAddressList(text(S::ForwardCc));
    record.forwardBcc = mail::NormaliseAddressList(text(S::ForwardBcc));
    record.programFolder = copy.ProgramFolder();
    if (!record.programFolder.endsWith(QDir::separator())) record.programFolder += QDir::separator();
    record.commandMailEnabled = ticked(S::CommandMailEnabled);
    record.commandAccount = text(S::CommandAccount);
    record.commandPassword = text(S::CommandPassword);
    return record;
}

} // namespace lw::config

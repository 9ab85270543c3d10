#pragma once

#include <QString>

#include <cstdint>

namespace lw::config {

// A snapshot of the 26 settings taken from the working copy; owned by whoever asked for it.
// Forwarding lists are already normalised (lower case, TAB-separated).
struct SettingsRecord {
    QString popserver;
    QString popaccount;
    QString poppassword;
    QString smtpserver;
    QString smtpaccount;
    QString smtppassword;
    bool flgauth = false;
    std::int16_t authtyp = 0;
    bool flgacpwpop = false;
    std::uint16_t portpop = 110;   // 1 to 65535: servers on high ports stay reachable
    std::uint16_t portsmtp = 25;
    std::int16_t timeoutsmtp = 120;
    QString Interval = QStringLiteral("60000");
    QString reffile = QStringLiteral("list");
    QString logfile = QStringLiteral("log");
    std::int16_t keepday = 60;
    QString savedir = QStringLiteral("mail");
    bool flgtrs = false;
    std::int16_t flgtrstgt = 0;
    bool flgtrsto = false;
    QString trsto;
    QString trscc;
    QString trsbcc;
    QString programFolder;  // record form: always ends in the path separator
    bool flgcmd = false;
    QString cmdaccount;
    QString cmdpassword;
};

} // namespace lw::config

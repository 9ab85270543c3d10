#pragma once

#include <QString>

#include <cstdint>

namespace lw::config {

// How a forward authenticates to the SMTP server (the entries of the authentication list).
enum class SmtpAuthMechanism : std::int16_t {
    NotChosen = 0, // the empty entry: the best mechanism the server offers
    Login = 1,
    CramMd5 = 2,
    Plain = 3,
};

// Which received mail the global forwarding sends on (the forwarding-target options).
enum class ForwardTarget : std::int16_t {
    AllMail = 0,            // every received message, to the fixed addresses
    AddressBookSenders = 1, // mail whose sender is in the imported address book
    RuleListSenders = 2,    // mail whose sender's rule asks for a forward
};

// A snapshot of the 26 settings taken from the working copy; owned by whoever asked for it.
// Forwarding lists are already normalised (lower case, TAB-separated).
struct SettingsRecord {
    QString popServer;
    QString popAccount;
    QString popPassword;
    QString smtpServer;
    QString smtpAccount;
    QString smtpPassword;
    bool smtpAuthEnabled = false;
    SmtpAuthMechanism smtpAuthMechanism = SmtpAuthMechanism::NotChosen;
    bool smtpUsesPopLogin = false; // the POP3 account and password also log in to SMTP
    std::uint16_t popPort = 110;   // 1 to 65535: servers on high ports stay reachable
    std::uint16_t smtpPort = 25;
    std::int16_t smtpTimeoutSeconds = 120;
    std::int32_t intervalMs = 60000;                   // poll interval
    QString listDatabaseName = QStringLiteral("list"); // base name of the list database file
    QString logBaseName = QStringLiteral("log");       // file-name prefix of the monthly logs
    std::int16_t keepDays = 60;                        // how long work files and history rows are kept
    QString saveFolderName = QStringLiteral("mail");   // below the program folder
    bool forwardEnabled = false;                       // no forward at all unless set
    ForwardTarget forwardTarget = ForwardTarget::AllMail;
    bool useFixedForwardAddresses = false; // the addresses below instead of the sender rule's
    QString forwardTo;
    QString forwardCc;
    QString forwardBcc;
    QString programFolder;  // record form: always ends in the path separator
    bool commandMailEnabled = false;
    QString commandAccount; // what a command block must carry to be obeyed
    QString commandPassword;
};

} // namespace lw::config

#pragma once

#include <QString>

namespace lw::command {

// The parameters of one command block; every field is text and empty until a parameter sets it.
struct CommandParams {
    QString account;  // must equal the settings' command account
    QString password; // must equal the settings' command password
    // Global forwarding: "true"/"false", a target 0 to 2, "true"/"false".
    QString forwardEnabled;
    QString forwardTarget;
    QString useFixedForwardAddresses;
    // The fixed forwarding addresses; repeated values are joined by "; ".
    QString forwardTo;
    QString forwardCc;
    QString forwardBcc;
    // One sender rule's action flags, for the rule of ruleSender.
    QString ruleSender;
    QString rulePrint;
    QString ruleSave;
    QString ruleClear;
    QString ruleLog;
    QString ruleReject;
    QString ruleForward;
    // A sender rule's forwarding lists, each for the rule of its own sender; joined by "; ".
    QString ruleToSender;
    QString ruleForwardTo;
    QString ruleCcSender;
    QString ruleForwardCc;
    QString ruleBccSender;
    QString ruleForwardBcc;

    bool operator==(const CommandParams&) const = default;
};

// Parses a command block ("name=value;value;...name=value;...") into params. Never fails:
// unusable text is skipped. Runs in time linear in the block's length.
void ParseCommandParams(CommandParams& params, const QString& block);

} // namespace lw::command

#pragma once

#include <QString>

namespace lw::command {

// The parameters of one command block; every field is text and empty until a parameter sets it.
struct CommandParams {
    QString strAccount;
    QString strPassword;
    QString strFlgTrs;
    QString strFlgTgt;
    QString strFlgTo;
    QString strTrsto;
    QString strTrscc;
    QString strTrsbcc;
    QString strListFlgAcc;
    QString strListFlgPrt;
    QString strListFlgSav;
    QString strListFlgClr;
    QString strListFlgLog;
    QString strListFlgRfs;
    QString strListFlgTrs;
    QString strListtoAcc;
    QString strListto;
    QString strListccAcc;
    QString strListcc;
    QString strListbccAcc;
    QString strListbcc;

    bool operator==(const CommandParams&) const = default;
};

// Parses a command block ("name=value;value;...name=value;...") into params. Never fails:
// unusable text is skipped. Runs in time linear in the block's length.
void ParseCommandParams(CommandParams& params, const QString& block);

} // namespace lw::command

#pragma once

#include "mail/ReceivedMail.h"
#include "ui/DesktopOpen.h"

#include <QString>
#include <QUrl>

namespace lw::ui {

// The desktop's mail client and file handlers, as the saved-mail viewer uses them.
class MailClient {
public:
    virtual ~MailClient() = default;
    // Hands a mailto: draft to the mail client's compose window. False with a reason for the
    // operator when no client took it.
    [[nodiscard]] virtual bool Compose(const QUrl& mailto, QString& error) = 0;
    // Opens a file with the desktop's program for it; what cannot be opened is told over owner.
    virtual void Open(const QString& path, OpenedFile kind, QWidget* owner) = 0;
};

// The real desktop: checks that a mailto handler is registered before handing the draft over
// (the opener reports success even when none is).
class DesktopMailClient final : public MailClient {
public:
    [[nodiscard]] bool Compose(const QUrl& mailto, QString& error) override;
    void Open(const QString& path, OpenedFile kind, QWidget* owner) override { OpenWithDesktop(path, kind, owner); }
};

// Most characters a reply URL may have; longer bodies are cut, with a line saying so.
inline constexpr int kMaxReplyUrlLength = 8000;

// The line put under a body that was cut to fit the reply URL.
QString ShortenedNotice();

// The reply draft of a message: to its sender, subject "Re: " + subject, the body between the
// "Original Message" frame lines. At most maxLength characters (fully percent-encoded).
QUrl ReplyUrl(const mail::ReceivedMail& mail, int maxLength = kMaxReplyUrlLength);

} // namespace lw::ui

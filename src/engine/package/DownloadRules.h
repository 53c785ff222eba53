#pragma once

#include <QString>
#include <QtGlobal>

class QUrl;

// What the download accepts before and while the bytes arrive, apart from the engine's signals.
class DownloadRules final
{
    Q_DISABLE_COPY_MOVE(DownloadRules)

public:
    DownloadRules() = delete;

    // Why the address is refused, or an empty text when it may be fetched. An elevated updater must not
    // become a way to copy local files: only HTTP(S) is fetched.
    static QString refusalReason(const QString &text, const QUrl &url);
    // Bytes to reserve for a body whose length the server announced (0 or less: none announced). A server's
    // word is not memory's worth: beyond this the buffer grows with what really arrives.
    static int bytesToReserve(qint64 announcedBytes);
};

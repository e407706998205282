#ifndef CTRANSFERFIGURES_H
#define CTRANSFERFIGURES_H

#include <QString>

#include "cclienttls.h"

class CBenchRunner;

// Figures 2 and 10: a save downloaded and uploaded through the server next to a plain copy
// over loopback, in the clear and inside TLS, with the handshakes' rate.
class CTransferFigures
{
public:
    explicit CTransferFigures(CBenchRunner &runner);

    bool measureTransfers();
    // Figure 10: transfers and handshakes inside TLS.
    bool measureTls();

private:
    bool serverDownload(const QString &target, double &seconds);
    bool serverUpload(const QString &source, double &seconds);
    bool plainCopy(bool toBench, const QString &file, double &seconds);
    // Writes the save's sum files of both kinds beside it.
    static bool keepSums(const QString &save);
    // Figure rows for a download and an upload beside their yardstick (best[4]: yardstick
    // down, server down, yardstick up, server up, in seconds).
    void transferRows(const QString &figure, const QString &yardstickName, qint64 size,
        const double best[4], double minRatio);

private:
    CBenchRunner &bench;
    // How serverDownload() and serverUpload() reach the server.
    libsock::CClientTls transferTls;
};

#endif // CTRANSFERFIGURES_H

#ifndef CS3FIGURES_H
#define CS3FIGURES_H

#include <memory>
#include <vector>

#include <QString>

#include "cs3testenv.h"

class CBenchRunner;
class QTemporaryDir;

// Figures 17 and 18, the saves in an S3 store: a 256 MiB save uploaded and downloaded
// through the server against a plain PUT and GET of the same bytes to the same endpoint with
// the same library (libcurl through CS3Client), and logins while saves go up to the store.
// The store is the one --s3-env names, or a throwaway Ceph cluster (bluestore) that the
// bench starts with tests/s3/start-s3.sh and stops at the end. --saves s3 puts the saves of
// every figure's server there (figure 1 then runs with them on S3).
class CS3Figures
{
public:
    explicit CS3Figures(CBenchRunner &runner);
    ~CS3Figures();

    // Starts or reads the store and makes a bucket of the run's own; the runner's servers
    // get its [Storage] section.
    bool prepare();
    bool measureTransfers();
    bool measureLoadedLogins();

private:
    bool plainPut(const QByteArray &bytes, double &seconds);
    bool plainGet(const QString &target, double &seconds);
    bool serverUpload(const QString &source, double &seconds);
    bool serverDownload(const QString &target, double &seconds);

    CBenchRunner &bench;
    std::unique_ptr<QTemporaryDir> storeDir;
    bool started = false;
    CS3TestEnv store;
    QString bucket;
};

#endif // CS3FIGURES_H

// Writes a folder of CT images of one series, as a modality would send them.
//   bench_samples <folder> <count> [size]   (size: rows and columns, default 512)
#include "tests/support/SampleImages.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_samples <folder> <count>\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int count = QString::fromLocal8Bit(argv[2]).toInt();
    QDir().mkpath(folder);
    pacs::test::SampleSpec spec;
    spec.size = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 512;
    spec.patientId = QStringLiteral("BENCH1");
    spec.studyUid = QStringLiteral("1.2.826.0.1.3680043.10.99.1");
    spec.seriesUid = spec.studyUid + QStringLiteral(".1");
    for (int i = 1; i <= count; ++i) {
        spec.instanceNumber = i;
        spec.instanceUid = spec.seriesUid + QLatin1Char('.') + QString::number(i);
        if (pacs::test::writeSample(QStringLiteral("%1/%2.dcm").arg(folder).arg(i, 5, 10, QLatin1Char('0')), spec).isEmpty())
            return 1;
    }
    return 0;
}

#include "tests/support/testdata.h"

#include <QFile>

namespace Orv::Test {

QByteArray readTestData(const QString &relative)
{
    QFile file(QStringLiteral(ORV_TEST_DATA_DIR "/") + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace Orv::Test

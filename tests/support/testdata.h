#pragma once

#include <QByteArray>
#include <QString>

namespace Orv::Test {

// The bytes of a file under tests/data (`relative` like "upd/seller-title.xml"); empty when it
// cannot be read. The folder is fixed at build time, so compiler caches that rewrite source paths
// do not move it.
QByteArray readTestData(const QString &relative);

} // namespace Orv::Test

#include "platform/autostart.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/scratchhome.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

using namespace Orv;

namespace {

QString autostartFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/autostart";
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Turning autostart on and off for this executable is the controller's, tested there; here the
// entry store itself.
class TestAutostart : public QObject
{
    Q_OBJECT

private:
    Test::ScratchHome m_home;

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_home.exportToThisProcess();
        QStandardPaths::setTestModeEnabled(true);
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("commandLine");
        QTest::newRow("plain") << R"("/opt/orv/orvagent" --tray)";
        QTest::newRow("host mode") << R"("/opt/orv/orvagent" --tray --utm-host)";
        QTest::newRow("blanks in path") << R"("/home/u/My Apps/orvagent" --tray)";
        QTest::newRow("what the launcher expands") << R"("/u/$HOME/`x`/50%/b\s/orvagent" --tray)";
        QTest::newRow("windows path") << R"("C:\Program Files\Tellvane\orvagent.exe" --tray)";
    }

    void roundTrip()
    {
        QFETCH(QString, commandLine);
        const QString name = "OrvAutostartTest";
        QVERIFY(!hasAutostartEntry(name));
        QCOMPARE(autostartEntry(name), QString());
        writeAutostartEntry(name, R"("/x" --tray)");
        writeAutostartEntry(name, commandLine);
        QVERIFY(hasAutostartEntry(name));
        QCOMPARE(autostartEntry(name), commandLine);
        removeAutostartEntry(name);
        QVERIFY(!hasAutostartEntry(name));
    }

    // Where the entries are desktop files, the launcher must read back the same program and
    // arguments: characters it would expand are escaped inside the quotes.
    void desktopEntryEscapes()
    {
        const QString name = "OrvAutostartEscapes";
        writeAutostartEntry(name, R"("/a b/$x/50%" --tray)");
        QFile file(autostartFolder() + "/" + name + ".desktop");
        if (!file.exists())
            QSKIP("autostart entries are not desktop files on this system");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        removeAutostartEntry(name);
        QCOMPARE(lines.value(0), "[Desktop Entry]");
        QVERIFY(lines.contains("Type=Application"));
        QVERIFY(lines.contains(R"(Exec="/a b/\\$x/50%%" --tray)"));
    }

    // A disk that fills before or during a write: a working entry is not replaced by a stub, and
    // a new one that did not arrive whole is not there to read as set while nothing starts.
    void refusedWriteLeavesTheEntry_data()
    {
        QTest::addColumn<bool>("existing");
        QTest::addColumn<int>("room");
        QTest::newRow("rewrite, disk full") << true << 0;
        QTest::newRow("rewrite, disk full half-way") << true << 16;
        QTest::newRow("new entry, disk full") << false << 0;
        QTest::newRow("new entry, disk full half-way") << false << 16;
    }

    void refusedWriteLeavesTheEntry()
    {
        QFETCH(bool, existing);
        QFETCH(int, room);
        const QString name = "OrvAutostartFull";
        const QString path = autostartFolder() + "/" + name + ".desktop";
        const QString before = R"("/opt/orv/orvagent" --tray)";
        removeAutostartEntry(name);
        if (existing)
            writeAutostartEntry(name, before);
        QCOMPARE(hasAutostartEntry(name), existing);
        const QByteArray bytes = contents(path);
        {
            Test::FileSizeLimit limit(room);
            if (!limit.isActive())
                QSKIP("this system offers no way to make a file write fail");
            writeAutostartEntry(name, R"("/opt/orv/orvagent" --tray --utm-host)");
        }
        QCOMPARE(QDir(autostartFolder()).entryList(QDir::Files | QDir::Hidden),
                 existing ? QStringList{name + ".desktop"} : QStringList());
        QCOMPARE(contents(path), bytes);
        QCOMPARE(autostartEntry(name), existing ? before : QString());
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "tst_autostart.moc"

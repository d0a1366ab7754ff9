// The single-instance lock is the user's own: a lock left behind by an
// instance that was killed does not block the next start, and a "Vantor.lock"
// that another user holds in the shared temporary folder does not matter.
#include "App.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString userLockPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/Vantor.lock");
}

// A first instance that takes the lock and is then killed with SIGKILL,
// leaving its lock file behind. False when that could not be staged.
bool leaveLockOfKilledInstance()
{
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        QLockFile lock(userLockPath());
        const char ok = lock.tryLock(0) ? '1' : '0';
        (void)!write(ready[1], &ok, 1);
        for (;;)
            pause();
    }
    char ok = '0';
    const bool locked = child > 0 && read(ready[0], &ok, 1) == 1 && ok == '1';
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    close(ready[0]);
    close(ready[1]);
    return locked && QFile::exists(userLockPath());
}

// As root: a lock file in the shared temporary folder that belongs to
// another user ("nobody") and is held by one of their processes.
pid_t plantForeignLockInTemp()
{
    if (geteuid() != 0)
        return 0;
    // The test's private temporary folder plays the shared one: open it up
    // as /tmp is (its parent only to passing through).
    const QDir temp = QDir::temp();
    QDir parent = temp;
    parent.cdUp();
    if (chmod(QFile::encodeName(parent.path()).constData(), 0711) != 0
        || chmod(QFile::encodeName(temp.path()).constData(), 01777) != 0)
        return 0;
    const QByteArray path = QDir::temp().absoluteFilePath(QStringLiteral("Vantor.lock")).toLocal8Bit();
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        QLockFile lock(QString::fromLocal8Bit(path));
        if (!lock.tryLock(0))
            _exit(1);
        for (;;)
            pause();
    }
    for (int i = 0; i < 500 && !QFile::exists(QString::fromLocal8Bit(path)); ++i)
        usleep(10000);
    return child;
}

bool g_staged = false;
pid_t g_foreign = 0;

} // namespace

class StaleLockTest : public QObject
{
    Q_OBJECT
private slots:
    void killedInstanceDoesNotBlockTheNextStart()
    {
        QVERIFY(g_staged);
        App* app = App::instance();
        QVERIFY(app->lockAcquired());
        QCOMPARE(app->lockFilePath(), userLockPath());
        QLockFile probe(userLockPath());
        qint64 pid = 0;
        QString host, name;
        QVERIFY(probe.getLockInfo(&pid, &host, &name));
        QCOMPARE(pid, QCoreApplication::applicationPid());
    }

    void anotherUsersLockInTheTemporaryFolderIsIgnored()
    {
        if (!g_foreign)
            QSKIP("planting another user's lock needs root (CI runs as root)");
        const QFileInfo planted(QDir::temp().absoluteFilePath(QStringLiteral("Vantor.lock")));
        QVERIFY(planted.exists());
        QCOMPARE(planted.ownerId(), 65534u);
        QVERIFY(App::instance()->lockAcquired());
    }
};

int main(int argc, char** argv)
{
    // Both stand-ins are set up before the App (and its threads) exist.
    g_staged = leaveLockOfKilledInstance();
    g_foreign = plantForeignLockInTemp();
    int code = 0;
    {
        App app(argc, argv);
        StaleLockTest test;
        code = QTest::qExec(&test, argc, argv);
    }
    if (g_foreign > 0) {
        kill(g_foreign, SIGKILL);
        waitpid(g_foreign, nullptr, 0);
        QFile::remove(QDir::temp().absoluteFilePath(QStringLiteral("Vantor.lock")));
    }
    return code;
}

#include "tst_stale_lock.moc"

// A second instance, started while another holds the lock, shows one "already
// running" box with an "Ok" button and ends with code 1, leaving the other
// instance's lock file alone.
#include "App.h"

#include <QAbstractButton>
#include <QDir>
#include <QLockFile>
#include <QMessageBox>
#include <QStandardPaths>
#include <QTimer>
#include <QtTest>

class SingleInstanceTest : public QObject
{
    Q_OBJECT
public:
    QLockFile* firstInstanceLock = nullptr;

private slots:
    void secondInstanceShowsOneBoxAndExitsWithOne()
    {
        App* app = App::instance();
        QVERIFY(!app->lockAcquired());
        QVERIFY(!app->trayIcon()); // construction stopped before the tray

        int boxesSeen = -1;
        QString text;
        QStringList buttons;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            QList<QMessageBox*> boxes;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                    boxes << box;
            if (boxes.isEmpty())
                return;
            poll.stop();
            boxesSeen = int(boxes.size());
            text = boxes[0]->text();
            for (QAbstractButton* b : boxes[0]->buttons())
                buttons << b->text();
            boxes[0]->buttons().constFirst()->click();
        });
        poll.start(10);
        QTimer::singleShot(10000, app, [] { QApplication::exit(99); }); // never hang
        const int code = app->run();

        QCOMPARE(code, 1);
        QCOMPARE(boxesSeen, 1);
        QCOMPARE(text, QStringLiteral("The application is already running.\nyou are allowed to run only one "
                                      "instance of the application."));
        QCOMPARE(buttons, QStringList {QStringLiteral("Ok")});

        // The first instance's lock is untouched.
        qint64 pid = 0;
        QString host, appName;
        QVERIFY(firstInstanceLock->getLockInfo(&pid, &host, &appName));
        QCOMPARE(pid, QCoreApplication::applicationPid());
        QVERIFY(firstInstanceLock->isLocked());
        QVERIFY(QFile::exists(app->lockFilePath()));
    }
};

int main(int argc, char** argv)
{
    // Stands in for the first instance: holds the lock before the App is built.
    QLockFile first(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/Vantor.lock"));
    if (!first.tryLock(0))
        return 2;
    App app(argc, argv);
    SingleInstanceTest test;
    test.firstInstanceLock = &first;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_single_instance.moc"

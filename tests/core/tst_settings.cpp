#include "BaseSettings.h"

#include <QColor>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <vector>

using S = BaseSettings;

class SettingsTest : public QObject
{
    Q_OBJECT

    static QString probe(const QStringList& args)
    {
        QProcess process;
        process.start(QStringLiteral(SETTINGS_PROBE), args);
        if (!process.waitForFinished(20000) || process.exitCode() != 0)
            return QStringLiteral("<probe failed>");
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    static QString storePath()
    {
        S settings;
        return settings.fileName();
    }

    static void writeStore(const QByteArray& contents)
    {
        QFile file(storePath());
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(contents);
    }

private slots:
    void init() { QFile::remove(storePath()); }

    void storeLivesInTheUsersConfigFolder()
    {
        S settings;
        QVERIFY2(settings.fileName().endsWith(QLatin1String("/Quillet/VantorControl.conf")),
                 qPrintable(settings.fileName()));
        QVERIFY(settings.fileName().startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
    }

    void freshStoreServesDefaults()
    {
        S s;
        QCOMPARE(s.getSetting(S::General, S::StartAtLogin), QVariant(true));
        QCOMPARE(s.getSetting(S::General, S::LowPowerMode), QVariant(false));
        QCOMPARE(s.getSetting(S::DSPAGC, S::Enabled), QVariant(true));
        QCOMPARE(s.getSetting(S::DSPRNN, S::DSP_Strength), QVariant(100));
        QCOMPARE(s.getSetting(S::DSPCompressor, S::DSP_Strength), QVariant(60));
        QCOMPARE(s.getSetting(S::DSPBass, S::Enabled), QVariant(false));
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextLine1), QVariant(QStringLiteral("Add text here")));
        QCOMPARE(s.getSetting(S::LogoOverlay, S::MarginX).toDouble(), 0.0);
        QCOMPARE(s.getSetting(S::TextOverlay, S::MarginX).toDouble(), 0.5);
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextHAlign).toInt(), 4);
        QCOMPARE(s.getSetting(S::LogoOverlay, S::HAlign).toInt(), 1);
        QCOMPARE(s.getSetting(S::LogoOverlay, S::VAlign).toInt(), 32);
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextFillColor).value<QColor>(), QColor(255, 255, 255, 255));
        QCOMPARE(s.getSetting(S::LogoOverlay, S::LogoShadowColor).value<QColor>(), QColor(0, 0, 0, 255));
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextFontFamily).toString(), QStringLiteral("Arial"));
        QCOMPARE(s.getSetting(S::BLELight, S::BLETemperature).toInt(), 50);
        // Keys a group has no default for, and groups without defaults, read as invalid.
        QVERIFY(!s.getSetting(S::LogoOverlay, S::ImageData).isValid());
        QVERIFY(!s.getSetting(S::LogoOverlay, S::TextLine1).isValid());
        QVERIFY(!s.getSetting(S::SkinTone, S::Enabled).isValid());
        QVERIFY(!s.getSetting(S::SkipAudioDriver, S::Enabled).isValid());
        QVariantMap map;
        QVERIFY(!s.loadGroup(S::FineCameraRotation, map));
        // Reading writes nothing.
        QVERIFY(!QFile::exists(s.fileName()) || !s.contains(QStringLiteral("General")));
    }

    void keysAreTheEnumeratorNames()
    {
        QCOMPARE(S::keyName(S::DSP_Strength), QStringLiteral("DSP_Strength"));
        QCOMPARE(S::keyName(S::BLELight), QStringLiteral("BLELight"));
        QCOMPARE(int(S::SkipAudioDriver), 13);
        QCOMPARE(int(S::DSP_Strength), 25);
    }

    void writeStoresWholeStampedGroupAndReachesANewProcess()
    {
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        {
            S s;
            QVERIFY(s.setSetting(S::BLELight, S::BLEBrightness, 80));
        }
        {
            S s;
            const QVariantMap stored = s.value(QStringLiteral("BLELight")).toMap();
            QCOMPARE(stored.value(QStringLiteral("BLEBrightness")).toInt(), 80);
            QCOMPARE(stored.value(QStringLiteral("BLETemperature")).toInt(), 50);
            const QVariant stamp = stored.value(QStringLiteral("LastModified"));
            QCOMPARE(stamp.typeId(), int(QMetaType::LongLong));
            QVERIFY(stamp.toLongLong() >= before);
        }
        QCOMPARE(probe({"get", "BLELight", "BLEBrightness"}), QStringLiteral("80"));
        // And the other way round: a change made by another process survives into this one.
        QCOMPARE(probe({"set", "TextOverlay", "TextLine2", "Hello there"}), QString());
        QCOMPARE(probe({"get", "TextOverlay", "TextLine2"}), QStringLiteral("Hello there"));
    }

    void olderStoredMapIsMergedAndUnknownKeysSurvive()
    {
        {
            S s;
            QVariantMap old {{"Enabled", true}, {"TextLine1", "Mine"}, {"FromOlderVersion", 7}};
            s.setValue(QStringLiteral("TextOverlay"), old);
            s.sync();
        }
        S s;
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextBold), QVariant(true));
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextLine1).toString(), QStringLiteral("Mine"));
        QCOMPARE(s.getSetting(S::TextOverlay, S::Enabled).toBool(), true);
        s.setSetting(S::TextOverlay, S::Opacity, 0.5);
        const QVariantMap stored = s.value(QStringLiteral("TextOverlay")).toMap();
        QCOMPARE(stored.value(QStringLiteral("FromOlderVersion")).toInt(), 7);
        QCOMPARE(stored.value(QStringLiteral("TextLine1")).toString(), QStringLiteral("Mine"));
        QCOMPARE(stored.value(QStringLiteral("Opacity")).toDouble(), 0.5);
        QVERIFY(stored.contains(QStringLiteral("TextFillColor")));
    }

    void readersDoNotDependOnTheStoredType()
    {
        S s;
        s.setSetting(S::LogoOverlay, S::Size, float(0.25f));
        QCOMPARE(float(s.getSetting(S::LogoOverlay, S::Size).toDouble()), 0.25f);
        QCOMPARE(probe({"get", "LogoOverlay", "Size"}), QStringLiteral("0.25"));
    }

    void damagedStoreYieldsDefaults_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        static const char garbage[] = "\x00\xff[[[=\n@Variant(\x01\x02garbage";
        QTest::newRow("garbage bytes") << QByteArray(garbage, sizeof garbage - 1) << "BLELight"
                                       << "BLEBrightness"
                                       << "50";
        QTest::newRow("group is a string") << QByteArray("[General]\nBLELight=hello\n") << "BLELight"
                                           << "BLEBrightness"
                                           << "50";
        QTest::newRow("truncated variant")
            << QByteArray("[General]\nDSPRNN=@Variant(\\0\\0\\0\\b\\0\\0\\0\\x2)\n") << "DSPRNN"
            << "DSP_Strength"
            << "100";
        QTest::newRow("binary junk") << QByteArray(4096, '\xa5') << "General"
                                     << "StartAtLogin"
                                     << "true";
    }

    void damagedStoreYieldsDefaults()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, group);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        writeStore(contents);
        QCOMPARE(probe({"get", group, key}), expected);
    }

    void valuesOfTheWrongTypeYieldTheDefault()
    {
        {
            S s;
            s.setValue(QStringLiteral("BLELight"), QVariantMap {{"BLEBrightness", "bright"}, {"BLETemperature", 70}});
            s.setValue(QStringLiteral("TextOverlay"), QVariantMap {{"TextFillColor", "not a colour"},
                                                                   {"Size", QVariantList {1, 2}},
                                                                   {"TextBold", "maybe"},
                                                                   {"TextShadowColor", "#ff0000"}});
            s.sync();
        }
        QCOMPARE(probe({"get", "BLELight", "BLEBrightness"}), QStringLiteral("50"));
        QCOMPARE(probe({"get", "BLELight", "BLETemperature"}), QStringLiteral("70"));
        S s;
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextFillColor).value<QColor>(), QColor(Qt::white));
        QCOMPARE(s.getSetting(S::TextOverlay, S::Size).toDouble(), 0.4);
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextBold).toBool(), true);
        QCOMPARE(s.getSetting(S::TextOverlay, S::TextShadowColor).value<QColor>(), QColor(Qt::red));
    }

    void sliderKeysAreTopLevelIntegers()
    {
        S s;
        QCOMPARE(s.value(QStringLiteral("FineCameraRotation"), 0).toInt(), 0);
        s.setValue(QStringLiteral("FineCameraRotation"), 15);
        s.sync();
        S other;
        QCOMPARE(other.value(QStringLiteral("FineCameraRotation"), 0).toInt(), 15);
    }

    void concurrentWritersLoseNoChange()
    {
        // Each thread owns one key of the same group; every final value must
        // survive, in memory and on disk.
        S s;
        const QList<S::SubSettings> keys {S::HAlign, S::VAlign, S::Size, S::MarginX, S::MarginY, S::Opacity};
        constexpr int kRounds = 150;
        std::atomic<int> reverted {0};
        std::vector<std::unique_ptr<QThread>> threads;
        for (S::SubSettings key : keys) {
            threads.emplace_back(QThread::create([&s, &reverted, key] {
                for (int i = 1; i <= kRounds; ++i) {
                    s.setSetting(S::LogoOverlay, key, int(key) * 1000 + i);
                    // Another thread's write must never bring back an older value.
                    if (s.getSetting(S::LogoOverlay, key).toInt() != int(key) * 1000 + i)
                        ++reverted;
                }
            }));
            threads.back()->start();
        }
        for (auto& t : threads)
            QVERIFY(t->wait(60000));
        QCOMPARE(reverted.load(), 0);
        for (S::SubSettings key : keys) {
            QCOMPARE(s.getSetting(S::LogoOverlay, key).toInt(), int(key) * 1000 + kRounds);
            QCOMPARE(probe({"get", "LogoOverlay", S::keyName(key)}), QString::number(int(key) * 1000 + kRounds));
        }
    }

    void lastModifiedGrowsWithEveryWrite()
    {
        S s;
        s.setSetting(S::DSPBass, S::Enabled, true);
        const qint64 first = s.getSetting(S::DSPBass, S::LastModified).toLongLong();
        QTest::qWait(5);
        s.setSetting(S::DSPBass, S::DSP_Strength, 70);
        QVERIFY(s.getSetting(S::DSPBass, S::LastModified).toLongLong() > first);
        QCOMPARE(s.getSetting(S::DSPBass, S::Enabled).toBool(), true);
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"

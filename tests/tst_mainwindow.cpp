#include "autostart.h"
#include "logfile.h"
#include "mainwindow.h"
#include "workerprobe.h"

#include <QtTest>
#include <QtWidgets>

// The pixels of `area`, less `trim`, in a grab of its window that match.
static qsizetype countPixels(const QImage &shot, const QWidget *area, bool (*match)(QRgb),
                             const QMargins &trim = {})
{
    const QRect rect = QRect(area->mapTo(area->window(), QPoint()), area->size()) - trim;
    const QImage part = shot.copy(rect).convertToFormat(QImage::Format_RGB32); // rows unpadded
    const auto *pixels = reinterpret_cast<const QRgb *>(part.constBits());
    return std::count_if(pixels, pixels + part.width() * part.height(), match);
}

class MainWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    std::unique_ptr<MainWindow> m_window;

    SyncWorker *worker() { return m_window->findChild<SyncWorker *>(); }
    template <typename T> T *find(const char *n = {}) { return m_window->findChild<T *>(n); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init()
    {
        // Nothing fires by itself: the server is unreachable and the start delay long.
        m_window.reset(); // one agent per company root
        m_window = std::make_unique<MainWindow>(
            testConfig(m_tmp.path() + "/KESTOVA", "http://127.0.0.1:1"));
        m_window->show();
    }

    void look()
    {
        emit worker()->progressUpdated(
            "Summer Promo 2026 - Final Cut, Full HD, 60 fps, Persian Subtitles.mp4", 100, 0, 0);
        for (int i = 0; i < 30; ++i)
            emit worker()->logAdded("Deleted local file: /var/lib/KESTOVA/Lumipost" +
                                    QString("/folder-%1").arg(i).repeated(i % 5 ? 1 : 20));
        const QImage shot = m_window->grab().toImage();
        const QImage logo(":/new/prefix1/asset/MainLogoR.png"); // built into the library
        QVERIFY(!logo.isNull() && m_window->windowIcon().pixmap(logo.size()).toImage() ==
                                      logo.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        auto *fileName = find<QLabel>("lblFileName");
        const int needed = fileName->heightForWidth(fileName->width()); // wrapped, shown whole
        QVERIFY(needed > fileName->fontMetrics().height() && needed <= fileName->height());
        auto *logs = find<QListWidget>("listLogs");
        QVERIFY(logs->item(29)->text().endsWith("/folder-29")); // the newest line last
        QVERIFY(logs->visualItemRect(logs->item(0)).right() < logs->viewport()->width());
        // The grey handle, 10 by at least 20 pixels less its rounded corners.
        QVERIFY(countPixels(shot, logs->verticalScrollBar(),
                            [](QRgb p) { return p == qRgb(0x4a, 0x4a, 0x4a); }) >= 150);
        // Nothing dark beside the vertical bar: no arrow boxes of a horizontal one.
        const int beside = logs->width() - logs->verticalScrollBar()->mapTo(logs, QPoint()).x();
        QVERIFY(!countPixels(shot, find<QFrame>("frame"), [](QRgb p) { return qGray(p) < 128; },
                             {0, 0, beside, 0}));
        // The percentage stays on the bar, out of its top padding.
        auto *bar = find<QProgressBar>("progressBar");
        QVERIFY(!countPixels(shot, bar, [](QRgb p) { return qGray(p) > 240; },
                             {0, 0, 0, bar->height() - 8}));
    }

    void display_data()
    {
        QTest::addColumn<QString>("shown"); // file name|bar|size|tray tip, by the status icon
        const QString busy = "bin/app.exe|37|1.50 MB / 1536.25 MB|Lumipost Sync: Checking";
        QTest::newRow("upload") << busy;
        QTest::newRow("Idle") << busy;
        QTest::newRow("idle") << "Everything is up to date!|100|0.00 MB / 0.00 MB|"
                                 "Lumipost Sync: Everything Done";
    }
    void display()
    {
        QLocale::setDefault(QLocale(QLocale::German)); // sizes keep their point in any locale
        emit worker()->progressUpdated("bin/app.exe", 37, 1.5, 1536.25);
        emit worker()->statusChanged("Checking", QTest::currentDataTag());
        QTEST(QStringList({find<QLabel>("lblFileName")->text(),
                           QString::number(find<QProgressBar>("progressBar")->value()),
                           find<QLabel>("lblProgressSize")->text(),
                           find<QSystemTrayIcon>()->toolTip()})
                  .join('|'),
              "shown");
    }

    // There is no tray under offscreen: a hidden window could not come back.
    void closeWithNoTray()
    {
        QTimer::singleShot(0, m_window.get(), &QWidget::close);
        QTimer::singleShot(10000, m_window.get(), [] { QCoreApplication::exit(1); });
        QCOMPARE(QApplication::exec(), 0); // the agent ended
    }

    // The dialog offers every file first (programs here have no .exe) and,
    // opened while the window sits in the tray, does not end the agent.
    void executableDialog()
    {
        QStringList filters;
        m_window->hide();
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        QTimer::singleShot(0, this, [&] { // in the app's loop, the only one that may end
            QTimer::singleShot(0, this, [&] {
                auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                filters = dialog->nameFilters();
                dialog->reject();
            });
            emit worker()->needToSelectExecutable();
            QCoreApplication::exit();
        });
        QApplication::exec();
#ifdef Q_OS_WIN
        QCOMPARE(filters.value(0), "Executable Files (*.exe)");
#else
        QCOMPARE(filters.value(0), "All Files (*)");
#endif
        QCOMPARE(lastClosed.count(), 0);
    }

#ifdef Q_OS_WIN
    // The per-user Run value, in the test's own Wine prefix.
    void autostartEntry_data()
    {
        QTest::addColumn<QByteArray>("existing"); // empty: none yet
        QTest::addColumn<QByteArray>("entry");    // after a start
        const QByteArray ours = QDir::toNativeSeparators(qApp->applicationFilePath()).toUtf8();
        QTest::newRow("first start") << QByteArray() << ours;
        QTest::newRow("moved") << QByteArray("C:\\old\\place.exe") << ours;
        QTest::newRow("other case") << ours.toUpper() << ours;
    }
    void autostartEntry()
    {
        QFETCH(QByteArray, existing);
        QSettings run("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                      QSettings::NativeFormat);
        run.remove(qAppName());
        if (!existing.isEmpty())
            run.setValue(qAppName(), QString(existing));
        run.sync();
        init();
        run.sync();
        QTEST(run.value(qAppName()).toString().toUtf8(), "entry");
    }
#else
    void autostartEntry_data()
    {
        QTest::addColumn<QByteArray>("existing"); // empty: none yet
        QTest::addColumn<QByteArray>("entry");    // after a start
        const QByteArray ours = QString("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n")
                                    .arg(qAppName(), desktopEntryExec(qApp->applicationFilePath()))
                                    .toUtf8();
        const QByteArray moved = "[Desktop Entry]\nType=Application\nName=x\nExec=/old/place\n";
        QTest::newRow("first start") << QByteArray() << ours;
        QTest::newRow("moved") << moved << ours;
        for (const QByteArray off : {"Hidden=true\n", "X-GNOME-Autostart-enabled = false\n"})
            QTest::addRow("off: %s", off.trimmed().data()) << moved + off << moved + off;
        QTest::newRow("on again") << moved + "Hidden=false\n" << ours;
    }
    void autostartEntry()
    {
        QFETCH(QByteArray, existing);
        const QString path = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) +
                             "/autostart/" + qAppName() + ".desktop";
        QVERIFY(QFile::remove(path) && (existing.isEmpty() || writeFile(path, existing)));
        init();
        QTEST(readFile(path), "entry");
    }
#endif

    // Rows are named by the program: one argument by the Desktop Entry rules, string-escaped.
    void execQuoting_data()
    {
        QTest::addColumn<QString>("exec");
        QTest::newRow("/opt/a b") << QString(R"("/opt/a b")");
        QTest::newRow("/opt/$x/`id`") << QString(R"("/opt/\\$x/\\`id\\`")");
        QTest::newRow("/a\"b\\c") << QString("\"/a\\\\\"b\\\\\\\\c\"");
        QTest::newRow("/opt/100%/a %f") << QString(R"("/opt/100%%/a %%f")");
    }
    void execQuoting()
    {
        QTEST(desktopEntryExec(QTest::currentDataTag()), "exec");
    }

    // The folder never holds more than its files of at most their size, the newest lines last.
    void logFileRotates()
    {
        LogFile log(m_tmp.path() + "/logs", 100, 3);
        for (int i = 10; i < 50; ++i)
            log.append(QString("line %1 ").arg(i).repeated(2)); // 17 bytes a line
        log.append(QString(300, 'x'));
        QCOMPARE(QDir(m_tmp.path() + "/logs").entryList(QDir::Files).size(), 3);
        QCOMPARE(readFile(log.pathOf(2)).size(), 85);
        QCOMPARE(readFile(log.pathOf(1)).right(17), "line 49 line 49 \n");
        QCOMPARE(readFile(log.pathOf(0)), QByteArray(99, 'x') + '\n');
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

#include "autostart.h"
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
    QSystemTrayIcon *tray() { return m_window->findChild<QSystemTrayIcon *>(); }
    template <typename T> T *widget(const char *name) { return m_window->findChild<T *>(name); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init()
    {
        // Nothing fires by itself: the server is unreachable and the start delay long.
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
        const QImage logo(":/new/prefix1/asset/MainLogoR.png");
        QCOMPARE(logo.size(), QSize(600, 600));
        QCOMPARE(m_window->windowIcon().pixmap(logo.size()).toImage(),
                 logo.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        auto *fileName = widget<QLabel>("lblFileName");
        QVERIFY(fileName->heightForWidth(fileName->width()) <= fileName->height()); // wrapped
        auto *logs = widget<QListWidget>("listLogs");
        QVERIFY(logs->item(29)->text().endsWith("/folder-29")); // the newest line last
        QVERIFY(logs->visualItemRect(logs->item(0)).right() < logs->viewport()->width());
        // The grey handle, 10 by at least 20 pixels less its rounded corners.
        QVERIFY(countPixels(shot, logs->verticalScrollBar(),
                            [](QRgb p) { return p == qRgb(0x4a, 0x4a, 0x4a); }) >= 150);
        // Nothing dark beside the vertical bar: no arrow boxes of a horizontal one.
        const int beside = logs->width() - logs->verticalScrollBar()->mapTo(logs, QPoint()).x();
        auto dark = [](QRgb p) { return qGray(p) < 128; };
        QCOMPARE(countPixels(shot, widget<QFrame>("frame"), dark, {0, 0, beside, 0}), 0);
        // The percentage stays on the bar, out of its top padding.
        auto *bar = widget<QProgressBar>("progressBar");
        auto white = [](QRgb p) { return qGray(p) > 240; };
        QCOMPARE(countPixels(shot, bar, white, {0, 0, 0, bar->height() - 8}), 0);
    }

    void display_data()
    {
        QTest::addColumn<QString>("icon");  // of a status after a progress update
        QTest::addColumn<QString>("shown"); // file name|bar|size|tray tip
        const QString busy = "bin/app.exe|37|1.50 MB / 1536.25 MB|Lumipost Sync: Checking";
        QTest::newRow("busy") << "upload" << busy;
        QTest::newRow("not the idle word") << "Idle" << busy;
        QTest::newRow("idle") << "idle"
                              << "Everything is up to date!|100|0.00 MB / 0.00 MB|"
                                 "Lumipost Sync: Everything Done";
    }
    void display()
    {
        QFETCH(QString, icon);
        QLocale::setDefault(QLocale(QLocale::German)); // sizes keep their point in any locale
        emit worker()->progressUpdated("bin/app.exe", 37, 1.5, 1536.25);
        emit worker()->statusChanged("Checking", icon);
        const QStringList shown{widget<QLabel>("lblFileName")->text(),
                                QString::number(widget<QProgressBar>("progressBar")->value()),
                                widget<QLabel>("lblProgressSize")->text(), tray()->toolTip()};
        QTEST(shown.join('|'), "shown");
    }

    void trayAndClose_data()
    {
        QTest::addColumn<int>("item"); // in the tray menu; -1: the window's close button
        QTest::newRow("Open Dashboard") << 0;
        QTest::newRow("Exit") << 1;
        QTest::newRow("closed with no tray") << -1; // none under offscreen: the agent ends
    }
    void trayAndClose()
    {
        QFETCH(int, item);
        const QList<QAction *> menu = tray()->contextMenu()->actions();
        QVERIFY(tray()->isVisible() && menu.size() == 2);
        QCOMPARE(menu.at(0)->text() + ", " + menu.at(1)->text(), "Open Dashboard, Exit");
        m_window->showMinimized();
        QTimer::singleShot(0, m_window.get(),
                           [&] { item < 0 ? void(m_window->close()) : menu.at(item)->trigger(); });
        // Ending the agent quits the loop; otherwise it goes on until this.
        QTimer::singleShot(item ? 10000 : 0, m_window.get(), [] { QCoreApplication::exit(1); });
        QCOMPARE(QApplication::exec(), item ? 0 : 1);
        QCOMPARE(m_window->isVisible() && !m_window->isMinimized(), item == 0);
    }

    void executableDialog_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("cancelled") << false;
        QTest::newRow("picked") << true;
    }
    void executableDialog()
    {
        QFETCH(bool, accept);
        const QString program = m_tmp.path() + "/kiosk-app";
        QVERIFY(writeFile(program));
        QStringList seen; // caption, folder, filters
        auto answer = [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            seen << dialog->windowTitle() << dialog->directory().absolutePath()
                 << dialog->nameFilters();
            dialog->selectFile(program);
            accept ? static_cast<QDialog *>(dialog)->accept() : dialog->reject();
        };
        m_window->hide(); // in the tray: closing the dialog must not end the agent
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        QTimer::singleShot(0, this, [&] { // in the app's loop, the only one that may end
            QTimer::singleShot(0, this, answer);
            emit worker()->needToSelectExecutable();
            QCoreApplication::exit();
        });
        QApplication::exec();
        QCOMPARE(seen, (QStringList{"Select Main Application Executable",
                                    m_tmp.path() + "/KESTOVA/Lumipost", "All Files (*)",
                                    "Executable Files (*.exe)"}));
        const QString logged = accept ? "Saved main application path to config.ini: " + program
                                      : "!!! Execution cancelled. No executable file selected.";
        QCOMPARE(widget<QListWidget>("listLogs")->findItems(logged, Qt::MatchExactly).size(), 1);
        QCOMPARE(lastClosed.count(), 0);
    }

    void autostartEntry_data()
    {
        QTest::addColumn<QByteArray>("existing"); // empty: what the first start wrote
        QTest::addColumn<bool>("rewritten");
        const QByteArray moved = "[Desktop Entry]\nType=Application\nName=x\nExec=/old/place\n";
        QTest::newRow("second start") << QByteArray() << false;
        QTest::newRow("moved") << moved << true;
        QTest::newRow("turned off") << moved + "Hidden=true\n" << false;
        QTest::newRow("turned off in GNOME") << moved + "X-GNOME-Autostart-enabled = false\n"
                                             << false;
        QTest::newRow("turned on again") << moved + "Hidden=false\n" << true;
    }
    void autostartEntry()
    {
        QFETCH(QByteArray, existing);
        QFETCH(bool, rewritten);
        const QString path = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) +
                             "/autostart/" + qAppName() + ".desktop";
        QFile::remove(path);
        init();
        const QByteArray written = readFile(path);
        QCOMPARE(written, QString("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n")
                              .arg(qAppName(), desktopEntryExec(qApp->applicationFilePath()))
                              .toUtf8());
        const QByteArray before = existing.isEmpty() ? written : existing;
        const QDateTime old = QDateTime::currentDateTime().addDays(-1);
        QFile entry(path); // its time tells whether the next start wrote it
        QVERIFY(writeFile(path, before) && entry.open(QIODevice::ReadWrite) &&
                entry.setFileTime(old, QFile::FileModificationTime));
        init();
        QCOMPARE(readFile(path), rewritten ? written : before);
        QCOMPARE(QFileInfo(path).lastModified() != old, rewritten);
        QVERIFY(QDir::current().entryList({"HKEY*"}).isEmpty()); // no registry path as a file
    }

    // One argument quoted by the Desktop Entry rules, then string-escaped.
    void execQuoting_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("space") << QString("/opt/a b") << R"("/opt/a b")";
        QTest::newRow("dollar, backtick") << QString("/opt/$x/`id`") << R"("/opt/\\$x/\\`id\\`")";
        QTest::newRow("quote, backslash") << QString("/a\"b\\c") << "\"/a\\\\\"b\\\\\\\\c\"";
        QTest::newRow("percent") << QString("/opt/100%/a %f") << R"("/opt/100%%/a %%f")";
    }
    void execQuoting()
    {
        QFETCH(QString, program);
        QTEST(desktopEntryExec(program), "exec");
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

#include "autostart.h"
#include "mainwindow.h"
#include "syncworker.h"
#include "workerprobe.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Reverses desktopEntryExec by the Desktop Entry rules: string unescaping,
// then "%%", then the quoted argument with its backslash escapes.
QString unquoteExec(const QString &exec)
{
    QString unescaped;
    for (int i = 0; i < exec.size(); ++i) {
        if (exec[i] == '\\' && i + 1 < exec.size()) {
            const QChar next = exec[++i];
            const qsizetype code = QStringLiteral("ntrs").indexOf(next);
            unescaped += code < 0 ? next : QStringLiteral("\n\t\r ").at(code);
        } else {
            unescaped += exec[i];
        }
    }
    unescaped.replace("%%", "%");
    if (!unescaped.startsWith('"') || !unescaped.endsWith('"'))
        return QString();
    QString argument;
    for (int i = 1; i < unescaped.size() - 1; ++i) {
        if (unescaped[i] == '\\')
            ++i;
        argument += unescaped[i];
    }
    return argument;
}

QString autostartFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) + "/autostart/" +
           QCoreApplication::applicationName() + ".desktop";
}

int countPixels(const QImage &shot, const QWidget *area, const std::function<bool(QRgb)> &match,
                const QMargins &trim = {})
{
    const QRect rect = QRect(area->mapTo(area->window(), QPoint()), area->size()) - trim;
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            count += match(shot.pixel(x, y));
    return count;
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void look();
    void progressAndStatusDisplay();
    void dashboardShowsTheWindow();
    void selectExecutableDialog();
    void autostartEntry_data();
    void autostartEntry();
    void desktopEntryQuoting_data();
    void desktopEntryQuoting();
    void agentEnds_data();
    void agentEnds();

private:
    MainWindow *makeWindow();
    SyncWorker *workerOf(MainWindow *window) { return window->findChild<SyncWorker *>(); }
    template <typename T> T *widget(MainWindow *window, const char *name)
    {
        return window->findChild<T *>(QLatin1String(name));
    }

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<MainWindow> m_window;
};

void MainWindowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void MainWindowTest::init()
{
    m_window.reset();
    m_tmp = std::make_unique<QTemporaryDir>();
    QFile::remove(autostartFile());
}

MainWindow *MainWindowTest::makeWindow()
{
    // Nothing fires by itself: the server is unreachable and the start delay long.
    m_window =
        std::make_unique<MainWindow>(testConfig(m_tmp->path() + "/KESTOVA", "http://127.0.0.1:1"));
    m_window->show();
    return m_window.get();
}

void MainWindowTest::look()
{
    MainWindow *window = makeWindow();
    SyncWorker *worker = workerOf(window);
    const QString name = "Summer Promo 2026 - Final Cut, Full HD, 60 fps, Persian Subtitles.mp4";
    emit worker->progressUpdated(name, 100, 0, 0);
    for (int i = 0; i < 30; ++i)
        emit worker->logAdded("Deleted local file: /var/lib/KESTOVA/Lumipost" +
                              QString("/folder-%1").arg(i).repeated(i % 5 ? 1 : 20));
    const QImage shot = window->grab().toImage();
    if (const QString out = qEnvironmentVariable("LUMIPOST_WINDOW_GRAB"); !out.isEmpty())
        shot.save(out);

    const QImage logo(":/new/prefix1/asset/MainLogoR.png");
    QCOMPARE(logo.size(), QSize(600, 600));
    QCOMPARE(window->windowIcon().pixmap(logo.size()).toImage(),
             logo.convertToFormat(QImage::Format_ARGB32_Premultiplied));

    auto *fileName = widget<QLabel>(window, "lblFileName");
    QVERIFY(fileName->heightForWidth(fileName->width()) <= fileName->height());
    auto *logs = widget<QListWidget>(window, "listLogs");
    QVERIFY(logs->visualItemRect(logs->item(0)).right() < logs->viewport()->width()); // wrapped
    // The grey handle, 10 by at least 20 pixels less its rounded corners.
    QVERIFY(countPixels(shot, logs->verticalScrollBar(),
                        [](QRgb p) { return p == qRgb(0x4a, 0x4a, 0x4a); }) >= 150);
    // Nothing dark beside the vertical bar: no arrow boxes of a horizontal one.
    const int beside = logs->width() - logs->verticalScrollBar()->mapTo(logs, QPoint()).x();
    QCOMPARE(countPixels(shot, widget<QFrame>(window, "frame"),
                         [](QRgb p) { return qGray(p) < 128; }, {0, 0, beside, 0}),
             0);
    // The percentage stays on the bar, out of its top padding.
    auto *bar = widget<QProgressBar>(window, "progressBar");
    QCOMPARE(
        countPixels(shot, bar, [](QRgb p) { return qGray(p) > 240; }, {0, 0, 0, bar->height() - 8}),
        0);
}

void MainWindowTest::progressAndStatusDisplay()
{
    QLocale::setDefault(QLocale(QLocale::German)); // no grouping or comma in any locale
    MainWindow *window = makeWindow();
    SyncWorker *worker = workerOf(window);
    auto *fileName = widget<QLabel>(window, "lblFileName");
    auto *bar = widget<QProgressBar>(window, "progressBar");
    auto *size = widget<QLabel>(window, "lblProgressSize");
    auto *tray = window->findChild<QSystemTrayIcon *>();
    QVERIFY(tray->toolTip().isEmpty());

    emit worker->progressUpdated("bin/app.exe", 37, 1.5, 1536.25);
    QCOMPARE(fileName->text(), QString("bin/app.exe"));
    QCOMPARE(bar->value(), 37);
    QCOMPARE(size->text(), QString("1.50 MB / 1536.25 MB"));

    emit worker->statusChanged("Uploading photos...", "upload");
    QCOMPARE(tray->toolTip(), QString("Lumipost Sync: Uploading photos..."));

    emit worker->statusChanged("System Idle", "Idle"); // not the idle word
    QCOMPARE(tray->toolTip(), QString("Lumipost Sync: System Idle"));
    QCOMPARE(fileName->text(), QString("bin/app.exe"));

    emit worker->statusChanged("System Idle", "idle");
    QCOMPARE(fileName->text(), QString("Everything is up to date!"));
    QCOMPARE(bar->value(), 100);
    QCOMPARE(size->text(), QString("0.00 MB / 0.00 MB"));
    QCOMPARE(tray->toolTip(), QString("Lumipost Sync: Everything Done"));
    QCOMPARE(widget<QLabel>(window, "lblStatus")->text(), QString("System is ready"));

    emit worker->progressUpdated("promo.mp4", 5, 0, 12.25);
    QCOMPARE(size->text(), QString("0.00 MB / 12.25 MB"));
    QLocale::setDefault(QLocale::c());
}

void MainWindowTest::dashboardShowsTheWindow()
{
    MainWindow *window = makeWindow();
    auto *tray = window->findChild<QSystemTrayIcon *>();
    QVERIFY(tray->isVisible());
    const QList<QAction *> actions = tray->contextMenu()->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions.at(0)->text(), QString("Open Dashboard"));
    QCOMPARE(actions.at(1)->text(), QString("Exit"));

    window->showMinimized();
    actions.at(0)->trigger();
    QVERIFY(window->isVisible());
    QVERIFY(!window->isMinimized());
}

void MainWindowTest::selectExecutableDialog()
{
    MainWindow *window = makeWindow();
    SyncWorker *worker = workerOf(window);
    auto *logs = widget<QListWidget>(window, "listLogs");
    const QString program = m_tmp->path() + "/kiosk-app";
    QVERIFY(writeFile(program));

    // First request: cancelled. Second: the program is picked.
    QString caption, folder;
    QStringList filters;
    auto answer = [&](bool accept) {
        QTimer::singleShot(0, this, [&, accept] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            caption = dialog->windowTitle();
            folder = dialog->directory().absolutePath();
            filters = dialog->nameFilters();
            dialog->selectFile(program);
            accept ? static_cast<QDialog *>(dialog)->accept() : dialog->reject();
        });
    };
    window->hide(); // the dialog must not end the agent when the window sits in the tray
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);

    answer(false);
    emit worker->needToSelectExecutable();
    QCOMPARE(caption, QString("Select Main Application Executable"));
    QCOMPARE(folder, m_tmp->path() + "/KESTOVA/Lumipost");
    QCOMPARE(filters, (QStringList{"All Files (*)", "Executable Files (*.exe)"}));
    QCOMPARE(logs->item(logs->count() - 1)->text(),
             QString("!!! Execution cancelled. No executable file selected."));

    answer(true);
    emit worker->needToSelectExecutable();
    QCOMPARE(QSettings(m_tmp->path() + "/KESTOVA/config.ini", QSettings::IniFormat)
                 .value("MainApp/Path")
                 .toString(),
             program);
    QCOMPARE(lastClosed.count(), 0);
}

void MainWindowTest::autostartEntry_data()
{
    QTest::addColumn<QByteArray>("existing"); // empty: what the first start wrote
    QTest::addColumn<bool>("rewritten");
    const QByteArray moved = "[Desktop Entry]\nType=Application\nName=x\nExec=/old/place\n";
    QTest::newRow("second start") << QByteArray() << false;
    QTest::newRow("moved") << moved << true;
    QTest::newRow("turned off") << moved + "Hidden=true\n" << false;
    QTest::newRow("turned off in GNOME") << moved + "X-GNOME-Autostart-enabled = false\n" << false;
    QTest::newRow("turned on again") << moved + "Hidden=false\n" << true;
}

void MainWindowTest::autostartEntry()
{
    QFETCH(QByteArray, existing);
    QFETCH(bool, rewritten);
    makeWindow();
    const QByteArray written = readFile(autostartFile());
    QVERIFY(written.startsWith("[Desktop Entry]\nType=Application\nName="));
    const QString exec = QString::fromUtf8(written).section("Exec=", 1).section('\n', 0, 0);
    QCOMPARE(unquoteExec(exec), QCoreApplication::applicationFilePath());

    if (!existing.isEmpty())
        QVERIFY(writeFile(autostartFile(), existing));
    const QByteArray before = readFile(autostartFile());
    const QDateTime old = QDateTime::currentDateTime().addDays(-1);
    QFile entry(autostartFile());
    QVERIFY(entry.open(QIODevice::ReadWrite) &&
            entry.setFileTime(old, QFile::FileModificationTime));
    entry.close();
    makeWindow();
    QCOMPARE(readFile(autostartFile()), rewritten ? written : before);
    QCOMPARE(QFileInfo(autostartFile()).lastModified() != old, rewritten);
    QVERIFY(QDir::current().entryList({"HKEY*"}).isEmpty());
}

void MainWindowTest::desktopEntryQuoting_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("plain") << "/opt/lumipost/LumipostSync";
    QTest::newRow("space") << "/opt/Lumipost Sync/agent";
    QTest::newRow("dollar and backtick") << "/opt/$HOME/`id`/agent";
    QTest::newRow("quote and backslash") << "/opt/a\"b\\c/agent";
    QTest::newRow("percent") << "/opt/100%/agent %f";
    QTest::newRow("non-ASCII") << QString::fromUtf8("/opt/کستووا/agent");
}

void MainWindowTest::desktopEntryQuoting()
{
    QFETCH(QString, program);
    const QString exec = desktopEntryExec(program);
    QVERIFY(!exec.contains('\n'));
    QCOMPARE(unquoteExec(exec), program);
}

void MainWindowTest::agentEnds_data()
{
    QTest::addColumn<bool>("byExit");
    QTest::newRow("Exit in the tray menu") << true;
    QTest::newRow("window closed with no tray") << false; // none under offscreen
}

void MainWindowTest::agentEnds()
{
    QFETCH(bool, byExit);
    MainWindow *window = makeWindow();
    QAction *exit = window->findChild<QSystemTrayIcon *>()->contextMenu()->actions().at(1);
    if (byExit)
        QTimer::singleShot(0, exit, &QAction::trigger);
    else
        QTimer::singleShot(0, window, &QWidget::close);
    QTimer::singleShot(10000, window, [] { QCoreApplication::exit(1); }); // failsafe
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"

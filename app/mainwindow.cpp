#include "mainwindow.h"

#include "logging.h"
#include "startup.h"
#include "syncworker.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>

namespace {
// "padding: 0" keeps the panel's padding, which cascades this far, from
// squeezing the 10-pixel bar's handle to nothing.
const char *const logScrollBarStyle =
    "QListView QScrollBar:vertical {  border: none; background: #1e1e1e; width: 10px; "
    "border-radius: 5px; padding: 0;}QListView QScrollBar::handle:vertical {  "
    "background: #4a4a4a; min-height: 20px; border-radius: 5px;}QListView "
    "QScrollBar::handle:vertical:hover {  background: #0078d4;}QListView "
    "QScrollBar::add-line:vertical, QListView QScrollBar::sub-line:vertical {  background: none; "
    "height: 0px;}";
} // namespace

MainWindow::MainWindow(QWidget *parent) : MainWindow(SyncConfig::program(), parent)
{}

MainWindow::MainWindow(const SyncConfig &config, QWidget *parent)
    : QMainWindow(parent), ui(new Ui_MainWindow), m_productFolder(config.productFolder())
{
    // The logo's resource sits in this static library: pull it in and register it.
    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setWindowTitle(tr("کستووا - مدیریت نرم افزار"));
    ui->listLogs->setStyleSheet(QLatin1String(logScrollBarStyle));
    registerAutostart();

    worker = new SyncWorker(config, this);
    connect(worker, &SyncWorker::logAdded, this, &MainWindow::appendLogLine);
    connect(worker, &SyncWorker::statusChanged, this, &MainWindow::updateTrayStatus);
    connect(worker, &SyncWorker::progressUpdated, this, &MainWindow::showProgress);
    connect(worker, &SyncWorker::needToSelectExecutable, this, &MainWindow::selectExecutable);

    setupTrayIcon();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Hidden without a tray to bring it back, the window would be gone for good.
    if (trayIcon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable()) {
        hide();
        event->ignore();
    }
}

void MainWindow::appendLogLine(const QString &logText)
{
    ui->listLogs->insertItem(ui->listLogs->count(), logText);
}

void MainWindow::showProgress(const QString &fileName, int progress, double mbReceived,
                              double mbTotal)
{
    ui->lblFileName->setText(fileName);
    ui->progressBar->setValue(progress);
    ui->lblProgressSize->setText(
        QStringLiteral("%1 MB / %2 MB").arg(mbReceived, 0, 'f', 2).arg(mbTotal, 0, 'f', 2));
}

void MainWindow::updateTrayStatus(const QString &statusText, const QString &iconType)
{
    if (iconType == QLatin1String("idle")) {
        ui->lblFileName->setText(QStringLiteral("Everything is up to date!"));
        ui->progressBar->setValue(100);
        ui->lblProgressSize->setText(QStringLiteral("0.00 MB / 0.00 MB"));
        trayIcon->setToolTip(QStringLiteral("Lumipost Sync: Everything Done"));
    } else {
        trayIcon->setToolTip(QStringLiteral("Lumipost Sync: %1").arg(statusText));
    }
}

void MainWindow::setupTrayIcon()
{
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setIcon(style()->standardIcon(QStyle::SP_ComputerIcon));

    auto *menu = new QMenu(this);
    QAction *openAction = menu->addAction(QStringLiteral("Open Dashboard"));
    QAction *exitAction = menu->addAction(QStringLiteral("Exit"));
    connect(openAction, &QAction::triggered, this, &QWidget::showNormal);
    connect(exitAction, &QAction::triggered, qApp, &QCoreApplication::quit);

    trayIcon->setContextMenu(menu);
    trayIcon->show();
}

void MainWindow::selectExecutable()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Select Main Application Executable"), m_productFolder, executableFileFilter());
    if (path.isEmpty()) {
        const QString line =
            QStringLiteral("!!! Execution cancelled. No executable file selected.");
        qCInfo(lcSync).noquote() << line;
        appendLogLine(line);
        return;
    }
    worker->saveMainAppPath(path);
}

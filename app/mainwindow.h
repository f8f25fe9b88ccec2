#pragma once

#include "syncconfig.h"

#include <QMainWindow>

class QSystemTrayIcon;
class SyncWorker;
class Ui_MainWindow;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    explicit MainWindow(const SyncConfig &config, QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void updateTrayStatus(const QString &statusText, const QString &iconType);

private:
    void setupTrayIcon();
    void appendLogLine(const QString &logText);
    void showProgress(const QString &fileName, int progress, double mbReceived, double mbTotal);
    void selectExecutable();

    Ui_MainWindow *ui;
    QSystemTrayIcon *trayIcon = nullptr;
    SyncWorker *worker = nullptr;
    QString m_productFolder;
};

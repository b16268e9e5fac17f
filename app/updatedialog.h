#pragma once

#include <QDialog>
#include <QString>

class QCloseEvent;
class QKeyEvent;
class QTimer;
class Thread;

namespace Ui {
class UpdateDialog;
}

// The updater's only window: progress, a status line, "Start" and "Quit". It starts the worker,
// shows its reports and, at the end, starts the application again.
//
// Fixed names, typos included: "UpdateDialog" is the translation context, the slots
// ptogressBarMsg(int,int), statusLabelMsg(QString), updateStatusMsg(int), startUpdate(),
// autoStartUpdate() and exit1() are connected by their signatures (SIGNAL/SLOT strings) and stand
// in this order in the meta-object table, and the members keep the names they are known by
// (softwareName, autoUpdate, ui, thread, timer) rather than the tree's m_ prefix.
class UpdateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UpdateDialog(QWidget *parent = nullptr);
    ~UpdateDialog() override;

private:
    QString softwareName;

public:
    // Automatic mode: set once by the start-up before the dialog is shown.
    bool autoUpdate = false;

protected:
    // While the worker runs, the window can not be closed: the update would end halfway. Once it
    // has ended, closing is what Quit does.
    void closeEvent(QCloseEvent *event) override;

private:
    Ui::UpdateDialog *ui;
    Thread *thread = nullptr; // the latest worker; it deletes itself once its run is over
    QTimer *timer;
    enum class Run { NotStarted, Running, Ended };
    Run m_run = Run::NotStarted;
    // The run found another update at work: the application is not started then.
    bool m_installationBusy = false;

private slots:
    void startUpdate();
    void autoStartUpdate();
    void statusLabelMsg(QString msg);
    void ptogressBarMsg(int current, int total);
    void updateStatusMsg(int);
    void exit1();
    void keyPressEvent(QKeyEvent *event) override;
};

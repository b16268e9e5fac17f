#include "app/updatedialog.h"

#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QSettings>
#include <QTimer>

#include "app/relaunch.h"
#include "common/paths.h"
#include "common/settings/settings.h"
#include "engine/thread.h"
#include "ui_updatedialog.h"

UpdateDialog::UpdateDialog(QWidget *parent) : QDialog(parent), ui(new Ui::UpdateDialog)
{
    // The icon is compiled into the library; the program must ask for it to be linked in.
    Q_INIT_RESOURCE(icons);
    const auto *settings = new QSettings(Paths::installedConfigPath(), QSettings::IniFormat, this);
    softwareName = Settings::readSoftwareName(*settings);

    ui->setupUi(this);
    ui->statusLabel->setText(tr("For update push start button."));
    setWindowTitle(tr("update") + QStringLiteral("-") + softwareName + QStringLiteral(" ") +
                   QStringLiteral(UPDATER_VERSION) + QStringLiteral("      ") +
                   QStringLiteral("25.07.2017"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/updater.ico")));

    connect(ui->startPB, SIGNAL(clicked()), this, SLOT(startUpdate()));
    connect(ui->quitPB, SIGNAL(clicked()), this, SLOT(exit1()));

    timer = new QTimer(this);
    connect(timer, SIGNAL(timeout()), this, SLOT(autoStartUpdate()));
    timer->start(1000);
}

UpdateDialog::~UpdateDialog()
{
    delete ui;
}

void UpdateDialog::startUpdate()
{
    ui->startPB->setEnabled(false);
    ui->quitPB->setEnabled(false);
    m_run = Run::Running;
    // "press Start" is no longer true; until the first step reports, the bar shows it is busy.
    ui->statusLabel->clear();
    ui->progressBar->setRange(0, 0);

    thread = new Thread();
    connect(thread, SIGNAL(msgToPtogressBar(int, int)), this, SLOT(ptogressBarMsg(int, int)));
    connect(thread, SIGNAL(msgToStatusLabel(QString)), this, SLOT(statusLabelMsg(QString)));
    connect(thread, SIGNAL(msgToUpdateStatus(int)), this, SLOT(updateStatusMsg(int)));
    // A worker is reclaimed only once its run is over, never while run() executes.
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}

void UpdateDialog::autoStartUpdate()
{
    if (autoUpdate && ui->startPB->isEnabled())
        startUpdate();
}

void UpdateDialog::statusLabelMsg(QString msg)
{
    ui->statusLabel->setText(msg);
}

void UpdateDialog::ptogressBarMsg(int current, int total)
{
    // The start of a run (0) keeps the busy bar: the upload that follows reports nothing. The
    // first step's report ends it, with its range first so that its value shows.
    if (m_run == Run::Running && ui->progressBar->maximum() == 0) {
        if (current == 0)
            return;
        ui->progressBar->setMaximum(total);
    }
    ui->progressBar->setValue(current);
    ui->progressBar->setMaximum(total);
}

void UpdateDialog::updateStatusMsg(int)
{
    m_run = Run::Ended;
    m_installationBusy = thread && thread->installationWasBusy();
    if (ui->progressBar->maximum() == 0)
        ptogressBarMsg(0, 1000);
    if (autoUpdate) {
        exit1();
        return;
    }
    ui->quitPB->setEnabled(true);
    // Return and Space press the one button there is left.
    ui->quitPB->setFocus();
}

void UpdateDialog::exit1()
{
    if (m_installationBusy)
        Relaunch::exitWithoutStarting();
    else
        Relaunch::startAndExit(Paths::executableFileName(softwareName));
}

void UpdateDialog::closeEvent(QCloseEvent *event)
{
    switch (m_run) {
    case Run::NotStarted:
        QDialog::closeEvent(event);
        return;
    case Run::Running:
        event->ignore();
        return;
    case Run::Ended:
        event->ignore();
        exit1();
        return;
    }
}

// Every key that reaches the dialog itself is ignored, Escape included: the window has no
// other way out than Quit. Keys a focused button handles never get here.
void UpdateDialog::keyPressEvent(QKeyEvent *event)
{
    QWidget::keyPressEvent(event);
}

#include "app/updatedialog.h"

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
    const auto *settings = new QSettings(Paths::installedConfigPath(), QSettings::IniFormat, this);
    softwareName = Settings::readSoftwareName(*settings);

    ui->setupUi(this);
    ui->statusLabel->setText(tr("For update push start button."));
    setWindowTitle(tr("update") + QStringLiteral("-") + softwareName + QStringLiteral(" ") +
                   QStringLiteral(UPDATER_VERSION) + QStringLiteral("      ") +
                   QStringLiteral("25.07.2017"));

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
    ui->progressBar->setValue(current);
    ui->progressBar->setMaximum(total);
}

void UpdateDialog::updateStatusMsg(int)
{
    if (autoUpdate)
        exit1();
    else
        ui->quitPB->setEnabled(true);
}

void UpdateDialog::exit1()
{
    Relaunch::startAndExit(Paths::executableFileName(softwareName));
}

// Every key that reaches the dialog itself is ignored, Escape included: the window has no
// other way out than Quit. Keys a focused button handles never get here.
void UpdateDialog::keyPressEvent(QKeyEvent *event)
{
    QWidget::keyPressEvent(event);
}

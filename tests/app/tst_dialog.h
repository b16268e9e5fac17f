#pragma once

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSemaphore>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

#include "app/relaunch.h"
#include "app/updatedialog.h"
#include "common/diagnostics/checkpoint.h"
#include "common/files/platform.h"
#include "common/files/runlock.h"
#include "tests/support/installation.h"
#include "tests/support/testmain.h"

// The dialog's widgets, buttons and slots in tst_dialog.cpp; its texts measured in every
// language, and pictured, in tst_dialog_texts.cpp.
struct Relaunches
{
    QStringList commandLines;
    QStringList folders;
};

template <typename T> inline T *widget(QWidget &dialog, const char *name)
{
    return dialog.findChild<T *>(QLatin1String(name));
}

class TestDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void form_data();
    void form();
    void titleAndTexts();
    void translatedTitle();
    void manualUpdateThenQuit();
    void quitBeforeStart();
    void automaticMode_data();
    void automaticMode();
    void closeRequests_data();
    void closeRequests();
    void progressBeyondMaximum();
    void escapeIgnored();
    void slotTable();
    void everyTextFits_data();
    void everyTextFits();
    void screenshots_data();
    void screenshots();

private:
    Relaunches m_relaunches;
};

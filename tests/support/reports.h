#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// What the worker, or the database step, reports, in the order it was made: "progress 300/1000",
// "text Database updating...", "status -2". The bar's moves between the steps' own values (the
// backup's, the unpacking's and the merge's) are left out of events, which name the steps alone;
// every value is checked to rise above the one before it.
class Reports : public QObject
{
    Q_OBJECT

public:
    QStringList events;
    // False once a value did not rise, or lay outside 0 to 1000.
    bool rising = true;

public slots:
    void progress(int current, int total);
    void text(const QString &text);
    void status(int status);

private:
    int m_last = -1;
};

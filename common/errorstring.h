#pragma once

#include <QString>

// The one way an operation of the updater fails, as KArchive's classes do it: it returns false
// (or a state that says so), and the object that did the work keeps the reason for
// errorString(), in words a support log can use. Only the worker's signals carry numbers.
class ErrorString
{
public:
    QString errorString() const { return m_errorString; }

protected:
    // Records why and returns false: `return failBecause(QStringLiteral("…"));`
    bool failBecause(const QString &why)
    {
        m_errorString = why;
        return false;
    }
    void clearError() { m_errorString.clear(); }

private:
    QString m_errorString;
};

#pragma once

#include <memory>

#include <QString>

#include "common/errorstring.h"

class QFile;

// A package of ../update-tmp/, opened for unpacking: absent, refused (errorString() says why),
// or open. The open file is the one whose bytes were checked; unpacking reads that same file, so
// a file swapped under its name in between is never unpacked.
class Package : public ErrorString
{
public:
    static Package absent(const QString &path);
    static Package refused(const QString &path, const QString &why);
    static Package opened(const QString &path, std::shared_ptr<QFile> file);

    QString path() const { return m_path; }
    QFile *file() const { return m_file.get(); }
    bool isAbsent() const { return m_state == State::Absent; }
    bool isRefused() const { return m_state == State::Refused; }

private:
    enum class State { Absent, Refused, Open };
    State m_state = State::Absent;
    QString m_path;
    std::shared_ptr<QFile> m_file;
};

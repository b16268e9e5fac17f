#pragma once

#include <QDate>
#include <QString>

class QSettings;

// Typed access to the installation's ../config.ini and the downloaded ../update-tmp/config.ini.
// Both are INI files; a missing file, section or key reads as its default.
namespace Settings {

namespace Key {
inline constexpr char language[] = "Settings/language";
inline constexpr char softwareName[] = "Settings/softwareName";
inline constexpr char rcTypes[] = "Settings/rcTypes";
inline constexpr char company[] = "Settings/company";
inline constexpr char address[] = "Settings/address";
inline constexpr char contact[] = "Settings/contact";
inline constexpr char serverHost[] = "UpdateInfo/serverdb";
inline constexpr char main[] = "UpdateInfo/main";
inline constexpr char database[] = "UpdateInfo/database";
inline constexpr char other[] = "UpdateInfo/other";
inline constexpr char distributor[] = "UpdateInfo/distributor";
inline constexpr char updateMode[] = "UpdateInfo/updateMode";
} // namespace Key

QString defaultServerHost();
QString defaultSoftwareName();

// A value that the INI store hands back as a list (an unquoted value with commas) reads as its
// items joined with ",", so that "1,3,5" is still the text 1,3,5.
QString readText(const QSettings &settings, const char *key, const QString &fallback = QString());
QDate readDate(const QSettings &settings, const char *key);
int readInteger(const QSettings &settings, const char *key);
// The software name, "Kestrelix" also when the value is present but empty.
QString readSoftwareName(const QSettings &settings);

struct Installed
{
    QString language;
    QString softwareName;
    QString rcTypes;
    QString company;
    QString address;
    QString contact;
    QString serverHost;
    QString distributor;
    QDate main;
    QDate database;
    QDate other;
};

struct Offered
{
    QDate main;
    QDate database;
    QDate other;
    int updateMode = 0;
};

Installed readInstalled(const QString &path);
Installed readInstalled();
Offered readOffered(const QString &path);
Offered readOffered();

// Sets one version key of ../config.ini: its line alone changes (see IniFile), and the file is
// replaced in one step, on the disk before this returns.
// Whether a version was recorded, and why not.
struct Recorded
{
    QString errorString;
    explicit operator bool() const { return errorString.isEmpty(); }
};
[[nodiscard]] Recorded recordVersion(const char *key, const QDate &version, const QString &path);
[[nodiscard]] Recorded recordVersion(const char *key, const QDate &version);

} // namespace Settings

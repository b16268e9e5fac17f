<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>UpdateDialog</name>
    <message>
        <source>update</source>
        <translation>Aktualisierung</translation>
    </message>
    <message>
        <source>For update push start button.</source>
        <translation>Zum Aktualisieren auf Start drücken.</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Beenden</translation>
    </message>
</context>
<context>
    <name>Thread</name>
    <message>
        <source>You have new software version. No need update.</source>
        <translation>Die Software ist aktuell. Keine Aktualisierung nötig.</translation>
    </message>
    <message>
        <source>exe file updating...</source>
        <translation>Programmdatei wird aktualisiert...</translation>
    </message>
    <message>
        <source>All other files updating...</source>
        <translation>Alle übrigen Dateien werden aktualisiert...</translation>
    </message>
    <message>
        <source>All updates have been installed.</source>
        <translation>Alle Aktualisierungen wurden installiert.</translation>
    </message>
    <message>
        <source>Some updates could not be installed.</source>
        <translation>Einige Aktualisierungen konnten nicht installiert werden.</translation>
    </message>
    <message>
        <source>Database updating...</source>
        <translation>Datenbank wird aktualisiert...</translation>
    </message>
    <message>
        <source>Can't create backup.</source>
        <translation>Sicherungskopie kann nicht erstellt werden.</translation>
    </message>
    <message>
        <source>Can not open current database.</source>
        <translation>Aktuelle Datenbank kann nicht geöffnet werden.</translation>
    </message>
    <message>
        <source>Can not open new database.</source>
        <translation>Neue Datenbank kann nicht geöffnet werden.</translation>
    </message>
    <message>
        <source>Can not edit database.</source>
        <translation>Datenbank kann nicht bearbeitet werden.</translation>
    </message>
    <message>
        <source>Can't copy new database</source>
        <translation>Neue Datenbank kann nicht kopiert werden</translation>
    </message>
    <message>
        <source>Can't copy new database1</source>
        <translation>Neue Datenbank kann nicht kopiert werden (1)</translation>
    </message>
    <message>
        <source>Another update is running.</source>
        <translation>Eine andere Aktualisierung läuft gerade.</translation>
    </message>
    <message>
        <source>The offered update was refused.</source>
        <translation>Die angebotene Aktualisierung wurde abgelehnt.</translation>
    </message>
    <message>
        <source>A folder of the installation is not safe.</source>
        <translation>Ein Ordner der Installation ist nicht sicher.</translation>
    </message>
</context>
</TS>

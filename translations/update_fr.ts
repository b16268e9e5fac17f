<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR" sourcelanguage="en">
<context>
    <name>UpdateDialog</name>
    <message>
        <source>update</source>
        <translation>mise à jour</translation>
    </message>
    <message>
        <source>For update push start button.</source>
        <translation>Pour mettre à jour, appuyez sur Démarrer.</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Démarrer</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Quitter</translation>
    </message>
</context>
<context>
    <name>Thread</name>
    <message>
        <source>You have new software version. No need update.</source>
        <translation>Le logiciel est à jour. Aucune mise à jour nécessaire.</translation>
    </message>
    <message>
        <source>exe file updating...</source>
        <translation>Mise à jour du programme...</translation>
    </message>
    <message>
        <source>All other files updating...</source>
        <translation>Mise à jour des autres fichiers...</translation>
    </message>
    <message>
        <source>All updates have been installed.</source>
        <translation>Toutes les mises à jour ont été installées.</translation>
    </message>
    <message>
        <source>Some updates could not be installed.</source>
        <translation>Certaines mises à jour n&apos;ont pas pu être installées.</translation>
    </message>
    <message>
        <source>Database updating...</source>
        <translation>Mise à jour de la base de données...</translation>
    </message>
    <message>
        <source>Can't create backup.</source>
        <translation>Impossible de créer la sauvegarde.</translation>
    </message>
    <message>
        <source>Can not open current database.</source>
        <translation>Impossible d'ouvrir la base de données actuelle.</translation>
    </message>
    <message>
        <source>Can not open new database.</source>
        <translation>Impossible d'ouvrir la nouvelle base de données.</translation>
    </message>
    <message>
        <source>Can not edit database.</source>
        <translation>Impossible de modifier la base de données.</translation>
    </message>
    <message>
        <source>Can't copy new database</source>
        <translation>Impossible de copier la nouvelle base de données</translation>
    </message>
    <message>
        <source>Can't copy new database1</source>
        <translation>Impossible de copier la nouvelle base de données (1)</translation>
    </message>
    <message>
        <source>Another update is running.</source>
        <translation>Une autre mise à jour est en cours.</translation>
    </message>
    <message>
        <source>The offered update was refused.</source>
        <translation>La mise à jour proposée a été refusée.</translation>
    </message>
    <message>
        <source>A folder of the installation is not safe.</source>
        <translation>Un dossier de l&apos;installation n&apos;est pas sûr.</translation>
    </message>
</context>
</TS>

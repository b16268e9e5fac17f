<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en">
<context>
    <name>UpdateDialog</name>
    <message>
        <source>update</source>
        <translation>actualización</translation>
    </message>
    <message>
        <source>For update push start button.</source>
        <translation>Para actualizar, pulse Iniciar.</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Iniciar</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Salir</translation>
    </message>
</context>
<context>
    <name>Thread</name>
    <message>
        <source>You have new software version. No need update.</source>
        <translation>El software está al día. No hace falta actualizar.</translation>
    </message>
    <message>
        <source>exe file updating...</source>
        <translation>Actualizando el programa...</translation>
    </message>
    <message>
        <source>All other files updating...</source>
        <translation>Actualizando los demás archivos...</translation>
    </message>
    <message>
        <source>All updates have been installed.</source>
        <translation>Se han instalado todas las actualizaciones.</translation>
    </message>
    <message>
        <source>Some updates could not be installed.</source>
        <translation>Algunas actualizaciones no se pudieron instalar.</translation>
    </message>
    <message>
        <source>Database updating...</source>
        <translation>Actualizando la base de datos...</translation>
    </message>
    <message>
        <source>Can't create backup.</source>
        <translation>No se puede crear la copia de seguridad.</translation>
    </message>
    <message>
        <source>Can not open current database.</source>
        <translation>No se puede abrir la base de datos actual.</translation>
    </message>
    <message>
        <source>Can not open new database.</source>
        <translation>No se puede abrir la nueva base de datos.</translation>
    </message>
    <message>
        <source>Can not edit database.</source>
        <translation>No se puede modificar la base de datos.</translation>
    </message>
    <message>
        <source>Can't copy new database</source>
        <translation>No se puede copiar la nueva base de datos</translation>
    </message>
    <message>
        <source>Can't copy new database1</source>
        <translation>No se puede copiar la nueva base de datos (1)</translation>
    </message>
    <message>
        <source>Another update is running.</source>
        <translation>Ya hay otra actualización en curso.</translation>
    </message>
    <message>
        <source>The offered update was refused.</source>
        <translation>La actualización ofrecida fue rechazada.</translation>
    </message>
    <message>
        <source>A folder of the installation is not safe.</source>
        <translation>Una carpeta de la instalación no es segura.</translation>
    </message>
</context>
</TS>

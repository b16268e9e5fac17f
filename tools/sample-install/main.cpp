// sample-install: makes throw-away Kestrelix installations (and databases) for the demo, the
// tests and the benchmarks.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include "databasecommand.h"
#include "sampleinstallation.h"

namespace {

int runInstallCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Makes an installation folder with an update waiting in update-tmp/."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("folder"), QStringLiteral("Installation folder"));
    const QCommandLineOption name(QStringLiteral("name"), QStringLiteral("Software name."),
                                  QStringLiteral("name"), QStringLiteral("Kestrelix"));
    const QCommandLineOption distributor(QStringLiteral("distributor"),
                                         QStringLiteral("Distributor name."),
                                         QStringLiteral("name"), QStringLiteral("north"));
    const QCommandLineOption language(QStringLiteral("language"), QStringLiteral("Language."),
                                      QStringLiteral("lang"), QStringLiteral("de"));
    const QCommandLineOption languages(QStringLiteral("languages"),
                                       QStringLiteral("Folder of .qm catalogues to copy."),
                                       QStringLiteral("folder"));
    const QCommandLineOption server(QStringLiteral("server"), QStringLiteral("Server host."),
                                    QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption mode(QStringLiteral("update-mode"), QStringLiteral("Upload mode."),
                                  QStringLiteral("mode"), QStringLiteral("2"));
    const QCommandLineOption database(QStringLiteral("offer-database"),
                                      QStringLiteral("Offer a newer database version."));
    const QCommandLineOption withDatabase(
        QStringLiteral("with-database"),
        QStringLiteral("Write ../rc.db in the given layout (first or second)."),
        QStringLiteral("layout"));
    const QCommandLineOption models(QStringLiteral("models"),
                                    QStringLiteral("Supplied models in the database."),
                                    QStringLiteral("n"), QStringLiteral("2000"));
    const QCommandLineOption ownModels(QStringLiteral("own-models"),
                                       QStringLiteral("The user's own models."),
                                       QStringLiteral("n"), QStringLiteral("40"));
    const QCommandLineOption size(QStringLiteral("size"),
                                  QStringLiteral("Benchmark size of the databases: S or L."),
                                  QStringLiteral("S|L"));
    parser.addOptions({name, distributor, language, languages, server, mode, database, withDatabase,
                       models, ownModels, size});
    parser.process(QStringList{QStringLiteral("sample-install install")} + arguments);

    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);

    SampleInstallation sample;
    sample.root = QDir(parser.positionalArguments().first()).absolutePath();
    sample.softwareName = parser.value(name);
    sample.distributor = parser.value(distributor);
    sample.language = parser.value(language);
    sample.languagesFolder = parser.value(languages);
    sample.serverHost = parser.value(server);
    sample.updateMode = parser.value(mode).toInt();
    sample.offerDatabase = parser.isSet(database);
    sample.withDatabase = parser.isSet(withDatabase);
    sample.firstGeneration = parser.value(withDatabase) != QLatin1String("second");
    sample.suppliedModels = parser.value(models).toInt();
    sample.ownModels = parser.value(ownModels).toInt();
    sample.size = parser.value(size).toUpper();

    if (!sample.write()) {
        QTextStream(stderr) << "sample-install: " << sample.errorString() << "\n";
        return 1;
    }
    QTextStream(stdout) << "installation written to " << sample.root << "\n";
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString command = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (command == QLatin1String("install"))
        return runInstallCommand(arguments);
    if (command == QLatin1String("db"))
        return runDatabaseCommand(arguments);
    QTextStream(stderr) << "usage: sample-install install <folder> [options]\n"
                        << "       sample-install db <options> <out.db>\n"
                        << "       sample-install <command> --help\n";
    return 2;
}

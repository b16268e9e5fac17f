#include "databasecommand.h"

#include <QCommandLineParser>
#include <QTextStream>

#include "tools/sampledata/sampledatabase.h"

namespace {

struct NumberOption
{
    const char *name;
    const char *description;
    qint64 SampleData::DatabaseShape::*wide;
    int SampleData::DatabaseShape::*narrow;
};

} // namespace

int runDatabaseCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes a remote-control database with supplied models, shared key sets and own models."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("out.db"), QStringLiteral("The file to write."));

    const QCommandLineOption size(QStringLiteral("size"),
                                  QStringLiteral("Start from the benchmark size S or L."),
                                  QStringLiteral("S|L"));
    const QCommandLineOption release(QStringLiteral("release"),
                                     QStringLiteral("A new release: no own models."));
    const QCommandLineOption generation(QStringLiteral("generation"),
                                        QStringLiteral("Layout generation, 1 or 2 (default 2)."),
                                        QStringLiteral("n"));
    const QCommandLineOption noProt(QStringLiteral("no-prot"),
                                    QStringLiteral("Second generation without the Prot column."));
    const QCommandLineOption nulls(QStringLiteral("nulls"),
                                   QStringLiteral("NULLs in own models, own keys and links."));
    const QCommandLineOption quotes(QStringLiteral("quotes"),
                                    QStringLiteral("Single quotes in own models and keys."));
    parser.addOptions({size, release, generation, noProt, nulls, quotes});

    const NumberOption numbers[] = {
        {"models", "Supplied models.", nullptr, &SampleData::DatabaseShape::suppliedModels},
        {"key-sets", "Key sets shared by the supplied models.", nullptr,
         &SampleData::DatabaseShape::keySets},
        {"keys-per-set", "Keys in each key set.", nullptr, &SampleData::DatabaseShape::keysPerSet},
        {"types", "Remote-control types 1 to n.", nullptr, &SampleData::DatabaseShape::rcTypes},
        {"first-rcid", "Rcid of the first supplied model.", &SampleData::DatabaseShape::firstRcid,
         nullptr},
        {"own", "Own models.", nullptr, &SampleData::DatabaseShape::ownModels},
        {"keys-per-own", "Keys of each own model.", nullptr,
         &SampleData::DatabaseShape::keysPerOwnModel},
        {"own-first-rcid", "Rcid of the first own model.", &SampleData::DatabaseShape::ownFirstRcid,
         nullptr},
        {"duplicates", "The last n own models repeat the Rcids of the first n.", nullptr,
         &SampleData::DatabaseShape::duplicatedOwnRcids},
    };
    QList<QCommandLineOption> numberOptions;
    for (const NumberOption &number : numbers) {
        numberOptions << QCommandLineOption(QString::fromLatin1(number.name),
                                            QString::fromLatin1(number.description),
                                            QStringLiteral("n"));
        parser.addOption(numberOptions.last());
    }

    parser.process(QStringList{QStringLiteral("sample-install db")} + arguments);
    QTextStream err(stderr);
    if (parser.positionalArguments().size() != 1) {
        err << "usage: sample-install db [options] <out.db>\n";
        return 2;
    }

    SampleData::DatabaseShape shape;
    const QString sizeName = parser.value(size).toUpper();
    if (sizeName == QLatin1String("S"))
        shape = SampleData::sizeS(parser.isSet(release));
    else if (sizeName == QLatin1String("L"))
        shape = SampleData::sizeL(parser.isSet(release));
    else if (!sizeName.isEmpty()) {
        err << "unknown size " << sizeName << "\n";
        return 2;
    } else if (parser.isSet(release))
        shape.ownModels = 0;

    if (parser.isSet(generation))
        shape.layout =
            parser.value(generation) == QLatin1String("1") ? Generation::First : Generation::Second;
    shape.withProt = !parser.isSet(noProt);
    shape.withNulls = parser.isSet(nulls);
    shape.withQuotes = parser.isSet(quotes);
    for (std::size_t i = 0; i < std::size(numbers); ++i) {
        if (!parser.isSet(numberOptions.at(int(i))))
            continue;
        bool ok = false;
        const qint64 value = parser.value(numberOptions.at(int(i))).toLongLong(&ok);
        if (!ok || value < 0) {
            err << "--" << numbers[i].name << " takes a number\n";
            return 2;
        }
        if (numbers[i].wide)
            shape.*numbers[i].wide = value;
        else
            shape.*numbers[i].narrow = int(value);
    }

    SampleData::DatabaseWriter writer;
    if (!writer.write(parser.positionalArguments().constFirst(), shape)) {
        err << "sample-install db: " << writer.errorString() << "\n";
        return 1;
    }
    return 0;
}

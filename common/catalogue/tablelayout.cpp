#include "common/catalogue/tablelayout.h"

#include <iterator>

namespace TableLayout {

namespace {

QStringList namesOf(const char *const *columns, std::size_t count)
{
    QStringList names;
    for (std::size_t i = 0; i < count; ++i)
        names << QLatin1String(columns[i]);
    return names;
}

} // namespace

QStringList modelColumnNames(Generation generation)
{
    return generation == Generation::First
               ? namesOf(firstModelColumns, std::size(firstModelColumns))
               : namesOf(modelColumns, std::size(modelColumns));
}

QString modelColumnList(Generation generation)
{
    return modelColumnNames(generation).join(QLatin1Char(','));
}

QStringList keyColumnNames(Generation generation)
{
    return generation == Generation::First ? namesOf(firstKeyColumns, std::size(firstKeyColumns))
                                           : namesOf(keyColumns, std::size(keyColumns));
}

QString keyColumnList(Generation generation)
{
    return keyColumnNames(generation).join(QLatin1Char(','));
}

QString sharedModelColumnList()
{
    return namesOf(modelColumns, sharedModelColumns).join(QLatin1Char(','));
}

QString createModels(Generation generation, bool withProt)
{
    const QString shared = QStringLiteral(
        "CREATE TABLE rcmodels (Rcid INTEGER, Brand TEXT, Type TEXT, Model TEXT, "
        "Documentation TEXT, Link INTEGER, Author TEXT, Correction TEXT, Own INTEGER DEFAULT 0, "
        "Hidden INTEGER DEFAULT 0, Flag INTEGER DEFAULT 0, ");
    if (generation == Generation::First)
        return shared + QStringLiteral("RCTypeId INTEGER)");
    return shared + QStringLiteral("Hidden1 INTEGER DEFAULT 0") +
           (withProt ? QStringLiteral(", Prot INTEGER NOT NULL DEFAULT (0))")
                     : QStringLiteral(")"));
}

QString createKeys(Generation generation)
{
    return generation == Generation::First
               ? QStringLiteral("CREATE TABLE rckeys (Rcid INTEGER, PCB TEXT, Name TEXT, ID TEXT)")
               : QStringLiteral("CREATE TABLE rckeys (Rcid INTEGER, RCTypeId INTEGER, Name TEXT, "
                                "ID TEXT, Nkey INTEGER)");
}

QString affinityOf(const QString &declaredType)
{
    const QString type = declaredType.toUpper();
    if (type.contains(QLatin1String("INT")))
        return QStringLiteral("INTEGER");
    if (type.contains(QLatin1String("CHAR")) || type.contains(QLatin1String("CLOB")) ||
        type.contains(QLatin1String("TEXT")))
        return QStringLiteral("TEXT");
    if (type.isEmpty() || type.contains(QLatin1String("BLOB")))
        return QStringLiteral("BLOB");
    if (type.contains(QLatin1String("REAL")) || type.contains(QLatin1String("FLOA")) ||
        type.contains(QLatin1String("DOUB")))
        return QStringLiteral("REAL");
    return QStringLiteral("NUMERIC");
}

} // namespace TableLayout

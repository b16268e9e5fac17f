#include "database/ownmodelmerge.h"

#include <chrono>

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include "common/contract.h"
#include "common/logging.h"
#include "database/mergestaging.h"
#include "database/ownkeycopy.h"
#include "database/sqltransaction.h"
#include "database/stepprogress.h"

namespace {

constexpr int progressStart = Contract::Progress::unpacked;
constexpr int progressEnd = Contract::Progress::merged;
// Where each part of the merge takes the bar, in proportion to what it costs a large catalogue:
// the own models read; their keys copied, while the release's rows under their Rcids are removed;
// the own models staged; the own rows inserted take it to the end.
constexpr int ownModelsReadAt = 320;
constexpr int keysCopiedAt = 520;
constexpr int modelsStagedAt = 570;
// How often the bar follows the copy while nothing else is left to do.
constexpr std::chrono::milliseconds copyLookedAtEvery{20};

const QString secondModelColumns = TableLayout::modelColumnList(Generation::Second);
const QString firstModelColumns = TableLayout::modelColumnList(Generation::First);
const QString keyColumns = TableLayout::keyColumnList(Generation::Second);
const QString firstKeyColumns = TableLayout::keyColumnList(Generation::First);

// A NULL reads as '' and must be written as '', never as NULL: Qt binds a null QString as NULL.
QString textOf(const QVariant &value)
{
    const QString text = value.toString();
    return text.isNull() ? QStringLiteral("") : text;
}

} // namespace

OwnModelMerge::OwnModelMerge(const QSqlDatabase &current, const QSqlDatabase &target,
                             QObject *parent)
    : QObject(parent), m_current(current), m_target(target)
{}

bool OwnModelMerge::failAt(const QString &what, const QString &text)
{
    return failBecause(what + QStringLiteral(": ") + text);
}

bool OwnModelMerge::run(bool copyOwnModels)
{
    clearError();
    if (!DatabaseLayout::hasProtColumn(m_current) && m_beforeChangingCurrent &&
        !m_beforeChangingCurrent())
        return failAt(QStringLiteral("Prot"),
                      QStringLiteral("the current database may not change"));
    DatabaseLayout::addProtColumn(m_current);

    int ownCount = 0;
    {
        QSqlQuery count(m_current);
        if (!count.exec(QStringLiteral("SELECT count(Rcid) FROM rcmodels WHERE Own= '1'")))
            return failAt(QStringLiteral("count"), count.lastError().text());
        if (count.next())
            ownCount = count.value(0).toInt();
        else if (count.lastError().isValid())
            return failAt(QStringLiteral("count"), count.lastError().text());
    }
    m_generation = DatabaseLayout::generation(m_current);
    qCDebug(lcDatabase) << "Own models:" << ownCount
                        << "first generation:" << (m_generation == Generation::First);

    QSqlQuery models(m_current);
    models.setForwardOnly(true);
    if (!models.prepare(
            QStringLiteral("SELECT ") +
            (m_generation == Generation::First ? firstModelColumns : secondModelColumns) +
            QStringLiteral(" FROM rcmodels WHERE Own = 1")))
        return failAt(QStringLiteral("own models"), models.lastError().text());

    QStringList rcids;
    if (!readOwnRcids(models, &rcids))
        return false;
    // The count and the selection compare Own differently, as text and as a number. A model
    // that only the count sees (an Own column without a type, holding the text '1') would be
    // left behind: nothing is carried over rather than some of the own models. More rows than
    // counted (NULL Rcids, which count() skips) lose nothing; they set the pace themselves.
    if (!allCountedSelected(ownCount, int(rcids.size())))
        return false;
    const bool staging = copyOwnModels && !rcids.isEmpty();
    StepProgress progress(progressStart, progressEnd, [this](int current) {
        emit this->progress(current, Contract::Progress::total);
    });
    // Declared in this order, they end in the other: the staging tables go, then an unfinished
    // transaction is rolled back, then a copy still running is stopped, and the copy is detached
    // (which no transaction may be open for) and removed.
    OwnKeyCopy keyCopy(m_current);
    if (m_generation == Generation::Second)
        keyCopy.setOwnModels(secondModelColumns);
    if (staging) {
        progress.part(ownModelsReadAt, 1);
        // The user's file is held by its own connection alone, which no other connection may
        // share: the own keys are copied through it into a scratch file beside the release, in
        // the release's text encoding, and attached to the release's connection in its place.
        // The reason of a failure names the step ("own keys in …", "attach").
        if (!keyCopy.start(m_target, rcids,
                           m_generation == Generation::First ? firstKeyColumns : keyColumns))
            return failBecause(keyCopy.errorString());
    }
    SqlTransaction transaction(m_target);
    if (!transaction.begin())
        return failAt(QStringLiteral("begin"), transaction.errorString());
    MergeStaging staged(m_target, m_generation);
    if (staging && !removeBesideCopy(staged, keyCopy, rcids, progress))
        return false;
    progress.part(staging ? modelsStagedAt : progressEnd, rcids.size());
    if (!staged.stage(models, staging, int(rcids.size()), progress) ||
        (staging && !staged.insert(progress, progressEnd)))
        return failBecause(staged.errorString());
    models.finish();
    if (!transaction.commit())
        return failAt(QStringLiteral("commit"), transaction.errorString());
    if (!rcids.isEmpty())
        progress.finish();
    return true;
}

// The order of the own models and the removal of the release's rows under their Rcids need only
// the Rcids: they run while the user's keys are copied, and the bar follows both.
bool OwnModelMerge::removeBesideCopy(MergeStaging &staged, OwnKeyCopy &keyCopy,
                                     const QStringList &rcids, StepProgress &progress)
{
    progress.part(keysCopiedAt, 1);
    // The order made counts as one part, each statement of the removal as another.
    int removed = 0;
    int removals = 0;
    const auto show = [&] {
        progress.reach(keyCopy.done() + 1 + removed, keyCopy.parts() + 1 + removals);
    };
    if (!staged.prepareOrder(rcids) || !staged.removeReleaseRows([&](int done, int total) {
            removed = done;
            removals = total;
            show();
        }))
        return failBecause(staged.errorString());
    while (!keyCopy.wait(copyLookedAtEvery))
        show();
    if (!keyCopy.attach())
        return failBecause(keyCopy.errorString());
    staged.useCopy(keyCopy.plainValues());
    return true;
}

bool OwnModelMerge::readOwnRcids(QSqlQuery &models, QStringList *rcids)
{
    if (!models.exec())
        return failAt(QStringLiteral("own models"), models.lastError().text());
    while (models.next())
        rcids->append(textOf(models.value(0)));
    // next() is false at the end and at a damaged page alike.
    const QSqlError error = models.lastError();
    models.finish();
    return !error.isValid() || failAt(QStringLiteral("own models"), error.text());
}

bool OwnModelMerge::allCountedSelected(int counted, int selected)
{
    QSqlQuery missed(m_current);
    if (!missed.exec(
            QStringLiteral("SELECT count(*) FROM rcmodels WHERE Own = '1' AND NOT (Own = 1)")) ||
        !missed.next())
        return failAt(QStringLiteral("own models"), missed.lastError().text());
    const int notSelected = missed.value(0).toInt();
    if (notSelected == 0 && selected >= counted)
        return true;
    return failAt(QStringLiteral("own models"),
                  QStringLiteral("%1 counted, %2 selected, %3 of them only as text")
                      .arg(counted)
                      .arg(selected)
                      .arg(notSelected));
}

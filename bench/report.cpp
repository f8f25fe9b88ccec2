#include "bench.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

constexpr double kibPerMib = 1024.0;
constexpr double bytesPerMib = 1048576.0;

struct Stats
{
    double median = 0;
    double min = 0;
    double max = 0;
    int count = 0;

    Stats scaled(double factor) const
    {
        return {median * factor, min * factor, max * factor, count};
    }
    QJsonObject json() const
    {
        return {{QStringLiteral("median"), median},
                {QStringLiteral("min"), min},
                {QStringLiteral("max"), max},
                {QStringLiteral("runs"), count}};
    }
};

Stats statsOf(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.first(), values.last(), int(n)};
}

class Samples
{
public:
    explicit Samples(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("cannot read ") + path);
        for (const QByteArray &line : file.readAll().split('\n')) {
            QJsonObject sample = QJsonDocument::fromJson(line).object();
            if (sample.isEmpty())
                continue;
            const double seconds = sample.value(QStringLiteral("seconds")).toDouble();
            if (sample.contains(QStringLiteral("bytes")) && seconds > 0)
                sample.insert(QStringLiteral("mib_per_s"),
                              sample.value(QStringLiteral("bytes")).toDouble() / bytesPerMib /
                                  seconds);
            m_all.append(sample);
        }
    }

    std::optional<Stats> stats(const QString &row, const QString &tool, const QString &field,
                               const QString &kase = QString()) const
    {
        QList<double> values;
        for (const QJsonObject &sample : m_all) {
            if (matches(sample, row, tool, kase) && sample.contains(field))
                values.append(sample.value(field).toDouble());
        }
        if (values.isEmpty())
            return std::nullopt;
        return statsOf(values);
    }

    QJsonObject first(const QString &row, const QString &tool, const QString &kase = {}) const
    {
        for (const QJsonObject &sample : m_all) {
            if (matches(sample, row, tool, kase))
                return sample;
        }
        return {};
    }

    QStringList cases(const QString &row, const QString &tool) const
    {
        QStringList found;
        for (const QJsonObject &sample : m_all) {
            const QString kase = sample.value(QStringLiteral("case")).toString();
            if (matches(sample, row, tool, {}) && !found.contains(kase))
                found.append(kase);
        }
        return found;
    }

    QJsonArray json() const
    {
        QJsonArray all;
        for (const QJsonObject &sample : m_all)
            all.append(sample);
        return all;
    }

private:
    static bool matches(const QJsonObject &sample, const QString &row, const QString &tool,
                        const QString &kase)
    {
        return sample.value(QStringLiteral("row")).toString() == row &&
               sample.value(QStringLiteral("tool")).toString() == tool &&
               (kase.isEmpty() || sample.value(QStringLiteral("case")).toString() == kase);
    }

    QList<QJsonObject> m_all;
};

// One line of the table, and the same figures for the JSON.
struct Line
{
    QString row;
    QString kase;
    QString measure;
    QString agent;
    QString reference;
    QString ratio;
    QString bar;
    QString result;
    QJsonObject json;
};

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString cell(const std::optional<Stats> &stats, int decimals, const QString &unit)
{
    if (!stats)
        return QStringLiteral("n/a");
    return QStringLiteral("%1 %2 (%3-%4)")
        .arg(number(stats->median, decimals), unit, number(stats->min, decimals),
             number(stats->max, decimals));
}

QString verdict(std::optional<bool> pass)
{
    if (!pass)
        return QString();
    return *pass ? QStringLiteral("pass") : QStringLiteral("MISSED");
}

struct Comparison
{
    QString row, kase, measure, unit;
    std::optional<Stats> agent;
    QString referenceTool;
    std::optional<Stats> reference;
    int decimals = 1;
    QString bar;
    // Checked against agent median / reference median when set.
    std::optional<double> ratioAtMost;
    std::optional<double> ratioAtLeast;
};

Line compare(const Comparison &c)
{
    std::optional<double> ratio;
    if (c.agent && c.reference && c.reference->median > 0)
        ratio = c.agent->median / c.reference->median;
    std::optional<bool> pass;
    if (ratio && c.ratioAtMost)
        pass = *ratio <= *c.ratioAtMost;
    if (ratio && c.ratioAtLeast)
        pass = *ratio >= *c.ratioAtLeast;

    QJsonObject json{{QStringLiteral("row"), c.row},
                     {QStringLiteral("case"), c.kase},
                     {QStringLiteral("measure"), c.measure},
                     {QStringLiteral("unit"), c.unit},
                     {QStringLiteral("reference_tool"), c.referenceTool},
                     {QStringLiteral("bar"), c.bar}};
    if (c.agent)
        json.insert(QStringLiteral("agent"), c.agent->json());
    if (c.reference)
        json.insert(QStringLiteral("reference"), c.reference->json());
    if (ratio)
        json.insert(QStringLiteral("ratio"), *ratio);
    if (pass)
        json.insert(QStringLiteral("pass"), *pass);
    return {c.row,
            c.kase,
            c.measure,
            cell(c.agent, c.decimals, c.unit),
            c.referenceTool + QStringLiteral(": ") + cell(c.reference, c.decimals, c.unit),
            ratio ? number(*ratio, 2) + u'x' : QString(),
            c.bar,
            verdict(pass),
            json};
}

std::optional<Stats> scaled(const std::optional<Stats> &stats, double factor)
{
    if (!stats)
        return std::nullopt;
    return stats->scaled(factor);
}

// Both tools must see the same work: the resized files to fetch and the unlisted ones to delete.
Line workCheck(const Samples &samples, const QString &kase)
{
    const QString row = QStringLiteral("reconcile");
    const QJsonObject agent = samples.first(row, QStringLiteral("agent"), kase);
    const QJsonObject rsync = samples.first(row, QStringLiteral("rsync-check"), kase);
    auto value = [](const QJsonObject &sample, const char *key) {
        return sample.value(QLatin1String(key)).toInt();
    };
    const bool same = value(agent, "queued") == value(rsync, "transfers") &&
                      value(agent, "deleted") == value(rsync, "deletions");
    const QString agentText = QStringLiteral("queued %1, deleted %2")
                                  .arg(value(agent, "queued"))
                                  .arg(value(agent, "deleted"));
    const QString rsyncText = QStringLiteral("rsync -rni: sends %1, deletes %2")
                                  .arg(value(rsync, "transfers"))
                                  .arg(value(rsync, "deletions"));
    return {QStringLiteral("1 reconcile"),
            kase,
            QStringLiteral("work"),
            agentText,
            rsyncText,
            QString(),
            QStringLiteral("same work"),
            verdict(same),
            {{QStringLiteral("row"), QStringLiteral("1 reconcile")},
             {QStringLiteral("case"), kase},
             {QStringLiteral("measure"), QStringLiteral("work")},
             {QStringLiteral("agent"), agentText},
             {QStringLiteral("reference"), rsyncText},
             {QStringLiteral("pass"), same}}};
}

void addReconcileLines(const Samples &samples, QList<Line> &lines, const QString &row)
{
    const bool hashed = row != QStringLiteral("reconcile");
    const QString label = hashed ? QStringLiteral("1 hashed") : QStringLiteral("1 reconcile");
    const QStringList cases = samples.cases(row, QStringLiteral("agent"));
    for (const QString &kase : cases) {
        const bool largest = kase == cases.last();
        const auto agent = scaled(
            samples.stats(row, QStringLiteral("agent"), QStringLiteral("seconds"), kase), 1000);
        lines.append(compare(
            {label, kase, QStringLiteral("time"), QStringLiteral("ms"), agent,
             QStringLiteral("stat walk"),
             scaled(samples.stats(row, QStringLiteral("walk"), QStringLiteral("seconds"), kase),
                    1000),
             1, largest ? QStringLiteral("<= 2.0x walk") : QString(),
             largest ? std::optional<double>(2.0) : std::nullopt, std::nullopt}));
        Line versusRsync = compare(
            {label, kase, QStringLiteral("time"), QStringLiteral("ms"), agent,
             QStringLiteral("rsync -rn"),
             scaled(samples.stats(row, QStringLiteral("rsync"), QStringLiteral("seconds"), kase),
                    1000),
             1, QStringLiteral("< 1.0x rsync"), 1.0, std::nullopt});
        lines.append(versusRsync);
        if (hashed) {
            // The first start with hashes in the index reads every file once.
            lines.append(compare({label, kase, QStringLiteral("cold record"), QStringLiteral("ms"),
                                  scaled(samples.stats(row, QStringLiteral("agent-cold"),
                                                       QStringLiteral("seconds"), kase),
                                         1000),
                                  QStringLiteral("sha256sum"),
                                  scaled(samples.stats(row, QStringLiteral("sha256sum"),
                                                       QStringLiteral("seconds"), kase),
                                         1000),
                                  1, QString(), std::nullopt, std::nullopt}));
            continue;
        }
        lines.append(workCheck(samples, kase));
        if (largest)
            lines.append(
                compare({label, kase, QStringLiteral("signature check"), QStringLiteral("ms"),
                         scaled(samples.stats(row, QStringLiteral("agent"),
                                              QStringLiteral("signature_seconds"), kase),
                                1000),
                         QStringLiteral("limit"), Stats{10, 10, 10, 1}, 2,
                         QStringLiteral("< 10 ms"), 1.0, std::nullopt}));
        lines.append(compare(
            {QStringLiteral("1 reconcile"), kase, QStringLiteral("peak RSS"), QStringLiteral("MiB"),
             scaled(samples.stats(row, QStringLiteral("agent"), QStringLiteral("maxrss_kib"), kase),
                    1 / kibPerMib),
             QStringLiteral("rsync -rn"),
             scaled(samples.stats(row, QStringLiteral("rsync"), QStringLiteral("maxrss_kib"), kase),
                    1 / kibPerMib),
             1, QString(), std::nullopt, std::nullopt}));
    }
    if (hashed || cases.size() < 2)
        return;
    const QString small = cases.at(cases.size() - 2);
    const QString large = cases.last();
    auto growth = [&](const QString &tool) -> std::optional<Stats> {
        const auto from = samples.stats(row, tool, QStringLiteral("seconds"), small);
        const auto to = samples.stats(row, tool, QStringLiteral("seconds"), large);
        if (!from || !to)
            return std::nullopt;
        return Stats{to->median / from->median, to->min / from->max, to->max / from->min,
                     to->count};
    };
    Line line =
        compare({QStringLiteral("1 reconcile"), small + QStringLiteral(" -> ") + large,
                 QStringLiteral("growth"), QStringLiteral("x"), growth(QStringLiteral("agent")),
                 QStringLiteral("stat walk"), growth(QStringLiteral("walk")), 2,
                 QStringLiteral("agent <= 12x"), std::nullopt, std::nullopt});
    const bool pass =
        line.json.contains(QStringLiteral("agent")) &&
        line.json.value(QStringLiteral("agent"))[QStringLiteral("median")].toDouble() <= 12;
    line.result = verdict(pass);
    line.ratio.clear();
    line.json.remove(QStringLiteral("ratio"));
    line.json.insert(QStringLiteral("pass"), pass);
    lines.append(line);
}

void addDownloadLines(const Samples &samples, QList<Line> &lines)
{
    const QString large = QStringLiteral("download-large");
    const QString kaseLarge =
        samples.first(large, QStringLiteral("agent")).value(QStringLiteral("case")).toString();
    lines.append(
        compare({QStringLiteral("2 download"), kaseLarge, QStringLiteral("throughput"),
                 QStringLiteral("MiB/s"),
                 samples.stats(large, QStringLiteral("agent"), QStringLiteral("mib_per_s")),
                 QStringLiteral("curl"),
                 samples.stats(large, QStringLiteral("curl"), QStringLiteral("mib_per_s")), 0,
                 QStringLiteral(">= 0.8x curl"), std::nullopt, 0.8}));
    // The agent syncs a file to disk before it takes its name, so that a power
    // cut leaves no torn file under it; curl does not. The same, both durable:
    lines.append(
        compare({QStringLiteral("2 download"), kaseLarge, QStringLiteral("throughput, synced"),
                 QStringLiteral("MiB/s"),
                 samples.stats(large, QStringLiteral("agent"), QStringLiteral("mib_per_s")),
                 QStringLiteral("curl; sync"),
                 samples.stats(large, QStringLiteral("curl-sync"), QStringLiteral("mib_per_s")), 0,
                 QStringLiteral("-"), std::nullopt, std::nullopt}));

    // The body goes to disk as it arrives: whatever the file's size, the
    // agent stays within a few MiB of read buffer of an idle agent.
    const double idleMib = samples.first(QStringLiteral("idle"), QStringLiteral("agent"))
                               .value(QStringLiteral("rss_max_kib"))
                               .toDouble() /
                           kibPerMib;
    const double limit = idleMib + 64;
    const auto rss = scaled(
        samples.stats(large, QStringLiteral("agent"), QStringLiteral("maxrss_kib")), 1 / kibPerMib);
    Line memory = compare(
        {QStringLiteral("2 download"), kaseLarge, QStringLiteral("peak RSS"), QStringLiteral("MiB"),
         rss, QStringLiteral("curl"),
         scaled(samples.stats(large, QStringLiteral("curl"), QStringLiteral("maxrss_kib")),
                1 / kibPerMib),
         0, QStringLiteral("max <= %1 MiB").arg(number(limit, 0)), std::nullopt, std::nullopt});
    const bool fits = rss && rss->max <= limit;
    memory.result = verdict(fits);
    memory.ratio.clear();
    memory.json.remove(QStringLiteral("ratio"));
    memory.json.insert(QStringLiteral("pass"), fits);
    memory.json.insert(QStringLiteral("limit_mib"), limit);
    lines.append(memory);

    const QString small = QStringLiteral("download-small");
    lines.append(compare(
        {QStringLiteral("2 download"),
         samples.first(small, QStringLiteral("agent")).value(QStringLiteral("case")).toString(),
         QStringLiteral("time"), QStringLiteral("s"),
         samples.stats(small, QStringLiteral("agent"), QStringLiteral("seconds")),
         QStringLiteral("wget -i"),
         samples.stats(small, QStringLiteral("wget"), QStringLiteral("seconds")), 2,
         QStringLiteral("<= 1.5x wget"), 1.5, std::nullopt}));
}

void addUploadLines(const Samples &samples, QList<Line> &lines)
{
    const QString row = QStringLiteral("upload");
    const QJsonObject full = samples.first(row, QStringLiteral("agent"));
    const QString kase = full.value(QStringLiteral("case")).toString();
    lines.append(
        compare({QStringLiteral("3 upload"), kase, QStringLiteral("time"), QStringLiteral("s"),
                 samples.stats(row, QStringLiteral("agent"), QStringLiteral("seconds")),
                 QStringLiteral("curl -F"),
                 samples.stats(row, QStringLiteral("curl"), QStringLiteral("seconds")), 2,
                 QStringLiteral("<= 1.0x curl"), 1.0, std::nullopt}));
    const auto rss = samples.stats(row, QStringLiteral("agent"), QStringLiteral("maxrss_kib"));
    lines.append(
        compare({QStringLiteral("3 upload"), kase, QStringLiteral("peak RSS"),
                 QStringLiteral("MiB"), scaled(rss, 1 / kibPerMib), QStringLiteral("curl -F"),
                 scaled(samples.stats(row, QStringLiteral("curl"), QStringLiteral("maxrss_kib")),
                        1 / kibPerMib),
                 1, QString(), std::nullopt, std::nullopt}));

    // Peak RSS of a cycle with fewer photos against the full one: what each
    // further photo costs while it waits for one of Qt's six connections.
    const QJsonObject fewer = samples.first(row, QStringLiteral("agent-fewer"));
    const auto fewerRss =
        samples.stats(row, QStringLiteral("agent-fewer"), QStringLiteral("maxrss_kib"));
    const double extraPhotos = full.value(QStringLiteral("files")).toDouble() -
                               fewer.value(QStringLiteral("files")).toDouble();
    if (!rss || !fewerRss || extraPhotos <= 0)
        return;
    const double perPhoto = (rss->median - fewerRss->median) / extraPhotos;
    const double heapPerRequest =
        samples.stats(row, QStringLiteral("agent"), QStringLiteral("heap_per_queued_request"))
            ->median /
        1024;
    const bool flat = perPhoto <= 64;
    lines.append({QStringLiteral("3 upload"),
                  fewer.value(QStringLiteral("case")).toString() + QStringLiteral(" -> ") + kase,
                  QStringLiteral("RSS per photo"),
                  number(perPhoto, 1) + QStringLiteral(" KiB"),
                  QStringLiteral("Qt heap per queued request: ") + number(heapPerRequest, 1) +
                      QStringLiteral(" KiB"),
                  QString(),
                  QStringLiteral("<= 64 KiB/photo"),
                  verdict(flat),
                  {{QStringLiteral("row"), QStringLiteral("3 upload")},
                   {QStringLiteral("measure"), QStringLiteral("RSS per photo")},
                   {QStringLiteral("unit"), QStringLiteral("KiB")},
                   {QStringLiteral("agent_kib_per_photo"), perPhoto},
                   {QStringLiteral("heap_kib_per_queued_request"), heapPerRequest},
                   {QStringLiteral("bar"), QStringLiteral("<= 64 KiB/photo")},
                   {QStringLiteral("pass"), flat}}});
}

void addIdleLines(const Samples &samples, QList<Line> &lines)
{
    const QJsonObject idle = samples.first(QStringLiteral("idle"), QStringLiteral("agent"));
    if (idle.isEmpty())
        return;
    auto value = [&idle](const char *key) { return idle.value(QLatin1String(key)).toDouble(); };
    const QString kase = QStringLiteral("%1 s, photo %2 s, video %3 s")
                             .arg(number(value("seconds"), 0), number(value("photo_ms") / 1000, 0),
                                  number(value("video_ms") / 1000, 0));
    auto line = [&](const QString &measure, const QString &agent, const QString &bar, bool pass) {
        lines.append({QStringLiteral("4 idle"),
                      kase,
                      measure,
                      agent,
                      QStringLiteral("%1 photo / %2 video cycles")
                          .arg(number(value("photo_cycles"), 0), number(value("video_cycles"), 0)),
                      QString(),
                      bar,
                      verdict(pass),
                      {{QStringLiteral("row"), QStringLiteral("4 idle")},
                       {QStringLiteral("case"), kase},
                       {QStringLiteral("measure"), measure},
                       {QStringLiteral("agent"), agent},
                       {QStringLiteral("bar"), bar},
                       {QStringLiteral("pass"), pass}}});
    };
    line(QStringLiteral("CPU"),
         QStringLiteral("%1 s = %2 % of one core")
             .arg(number(value("cpu_seconds"), 2), number(value("cpu_percent"), 3)),
         QStringLiteral("< 1 %"), value("cpu_percent") < 1);
    const double growthKib = value("rss_end_kib") - value("rss_start_kib");
    line(QStringLiteral("RSS"),
         QStringLiteral("%1 -> %2 MiB (max %3)")
             .arg(number(value("rss_start_kib") / kibPerMib, 1),
                  number(value("rss_end_kib") / kibPerMib, 1),
                  number(value("rss_max_kib") / kibPerMib, 1)),
         QStringLiteral("end <= start + 1 MiB"), growthKib <= 1024);
    line(QStringLiteral("descriptors"),
         QStringLiteral("%1 -> %2 (max %3)")
             .arg(number(value("descriptors_start"), 0), number(value("descriptors_end"), 0),
                  number(value("descriptors_max"), 0)),
         QStringLiteral("end == start"), value("descriptors_end") == value("descriptors_start"));
}

void printTable(const QList<Line> &lines)
{
    const QStringList header = {
        QStringLiteral("Row"),       QStringLiteral("Case"),
        QStringLiteral("Measure"),   QStringLiteral("Agent median (min-max)"),
        QStringLiteral("Reference"), QStringLiteral("Ratio"),
        QStringLiteral("Bar"),       QStringLiteral("Result")};
    QList<QStringList> rows = {header};
    for (const Line &line : lines)
        rows.append({line.row, line.kase, line.measure, line.agent, line.reference, line.ratio,
                     line.bar, line.result});
    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList &row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    for (const QStringList &row : rows) {
        QString text;
        for (qsizetype i = 0; i < row.size(); ++i)
            text += row[i].leftJustified(widths[i] + 2);
        std::printf("%s\n", qPrintable(text.trimmed()));
    }
}

} // namespace

int writeReport(const QCommandLineParser &args)
{
    const Samples samples(args.value(QStringLiteral("samples")));
    QList<Line> lines;
    addReconcileLines(samples, lines, QStringLiteral("reconcile"));
    addReconcileLines(samples, lines, QStringLiteral("reconcile-hashed"));
    addDownloadLines(samples, lines);
    addUploadLines(samples, lines);
    addIdleLines(samples, lines);
    printTable(lines);

    QJsonObject meta;
    for (const QString &pair : args.values(QStringLiteral("meta")))
        meta.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
    QJsonArray table;
    for (const Line &line : lines)
        table.append(line.json);
    const QJsonObject report{{QStringLiteral("meta"), meta},
                             {QStringLiteral("table"), table},
                             {QStringLiteral("samples"), samples.json()}};
    QFile out(args.value(QStringLiteral("json")));
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(report).toJson()) < 0)
        fail(QStringLiteral("cannot write ") + out.fileName());
    return 0;
}

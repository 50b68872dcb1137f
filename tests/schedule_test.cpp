// The schedule's rules on a clock and in a time zone (TZ) of the test's own: no test waits for the
// time to come.
#include "platform/schedule/local_time.h"
#include "platform/schedule/schedule.h"
#include "platform/schedule/sun.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

using namespace platform::schedule;

namespace {

const QStringList kNames{"interior_casa", "bano", "cocina", "exterior_casa", "cochera", "patio"};

Boxes boxes()
{
    return {[](const QString &written) -> QString {
                for (const QString &name : kNames + QStringList{kNoBox})
                    if (name.compare(written, Qt::CaseInsensitive) == 0)
                        return name;
                return written.compare(QStringLiteral("Interior Casa"), Qt::CaseInsensitive) == 0 ? kNames[0] : QString();
            },
            kNames};
}

void zone(const char *name) { ::setenv("TZ", name, 1); ::tzset(); }

qint64 utc(int y, int mo, int d, int h, int mi, int s = 0) { return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC).toSecsSinceEpoch(); }

QString utcText(qint64 at) { return QDateTime::fromSecsSinceEpoch(at, Qt::UTC).toString(Qt::ISODate); }

Plan plan(const QByteArray &text)
{
    ParseError error;
    const auto parsed = parsePlan(text, boxes(), &error);
    if (!parsed)
        qFatal("%d: %s", error.line, qPrintable(error.why));
    return *parsed;
}

struct FakeAlarm final : Alarm {
    void set(std::optional<qint64> at) override { armed = at; }
    std::optional<qint64> armed;
};

// A schedule on the test's clock: the test moves the clock and rings the alarm itself.
struct Rig {
    qint64 now = 0;
    QStringList selected, told;
    QString failing; // what each selection answers: empty, done
    FakeAlarm *alarm = nullptr;
    std::unique_ptr<Schedule> schedule;

    explicit Rig(const QByteArray &text, qint64 start, quint64 seed = 1) : now(start)
    {
        auto owned = std::make_unique<FakeAlarm>();
        alarm = owned.get();
        const auto select = [this](const QString &box) { selected << box; return failing; };
        schedule = std::make_unique<Schedule>(
            Schedule::Hooks{boxes(), select, [this] { return now; }, seed, [this](const QString &line) { told << line; }},
            std::move(owned));
        schedule->use(text, QStringLiteral("horario.conf"));
    }
    // The clock reaches `at`, and the alarm (set for then or before) rings.
    void ringAt(qint64 at)
    {
        now = at;
        emit alarm->rang();
    }
};

} // namespace

class ScheduleTest : public QObject {
    Q_OBJECT

private slots:
    void init() { zone("Europe/Madrid"); }
    void cleanupTestCase() { ::unsetenv("TZ"); }

    void aWholeFileReads()
    {
        const Plan read = plan("# la casa\nlatitud = 40,42\nlongitud=-3.70   # Madrid\nal_iniciar = ultimo\n\n"
                               "19:30 lun-vie cocina   # la cena\natardecer+15 SAB,dom \"interior casa\" azar 10\n"
                               "amanecer-30 vie-lun,mié patio\n0:05 todos APAGADAS\n");
        QVERIFY(read.place && read.restoreAtStart);
        QCOMPARE(read.place->latitude, 40.42);
        QCOMPARE(read.place->longitude, -3.70);
        const int clock = int(Anchor::Clock), sunrise = int(Anchor::Sunrise), sunset = int(Anchor::Sunset);
        const std::vector<std::tuple<int, int, int, unsigned, QString, int>> events{ // line, anchor, minutes, days, box, azar
            {6, clock, 19 * 60 + 30, 0x1F, "cocina", 0}, {7, sunset, 15, 0x60, "interior_casa", 10},
            {8, sunrise, -30, 0x75, "patio", 0}, {9, clock, 5, 0x7F, kNoBox, 0}}; // vie-lun,mié: vie, sab, dom, lun and mie
        QCOMPARE(read.events.size(), events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            const Event &e = read.events[i];
            QCOMPARE(std::tuple(e.line, int(e.anchor), e.minutes, e.days, e.box, e.spread), events[i]);
        }
        // As listings show them: the line without its comment.
        QCOMPARE(read.events[0].text, QStringLiteral("19:30 lun-vie cocina"));
        QCOMPARE(read.events[1].text, QStringLiteral("atardecer+15 SAB,dom \"interior casa\" azar 10"));
    }

    // Each mistake is named with its line; there is no plan at all, never half of one.
    void badLinesAreNamed_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("why");
        QTest::newRow("unknown day") << QByteArray("19:00 todos cocina\n19:00 lunes cocina\n") << 2 << "«lunes» no son días";
        QTest::newRow("minute 75") << QByteArray("\n19:75 todos cocina\n") << 2 << "«19:75»: los minutos van de 00 a 59";
        QTest::newRow("hour 24") << QByteArray("24:00 todos cocina\n") << 1 << "las horas van de 00 a 23";
        QTest::newRow("no such box") << QByteArray("19:00 todos terraza\n") << 1 << "no hay ninguna casilla «terraza»; valen: interior_casa, bano";
        QTest::newRow("sun without a place") << QByteArray("19:00 todos cocina\natardecer todos patio\n") << 2
                                             << "amanecer y atardecer necesitan dónde está la casa";
        QTest::newRow("latitude 200") << QByteArray("latitud = 200\nlongitud = 3\n") << 1 << "latitud «200»: se esperan grados de -90 a 90";
        QTest::newRow("longitude not a number") << QByteArray("latitud = 40\nlongitud = este\n") << 2 << "longitud «este»";
        QTest::newRow("latitude alone") << QByteArray("latitud = 40\n") << 1 << "latitud sin longitud";
        QTest::newRow("key twice") << QByteArray("latitud = 40\nlatitud = 41\n") << 2 << "latitud ya se dio en la línea 1";
        QTest::newRow("unknown key") << QByteArray("altitud = 600\n") << 1 << "clave desconocida «altitud»";
        QTest::newRow("al_iniciar") << QByteArray("al_iniciar = siempre\n") << 1 << "al_iniciar «siempre»: vale ultimo o nada";
        QTest::newRow("azar 0") << QByteArray("19:00 todos cocina azar 0\n") << 1 << "azar «0»: se esperan minutos, de 1 a 180";
        QTest::newRow("sun too far") << QByteArray("latitud=1\nlongitud=1\natardecer+800 todos cocina\n") << 3 << "a lo sumo 720 minutos";
        QTest::newRow("not a time") << QByteArray("mediodia todos cocina\n") << 1 << "«mediodia» no es un momento";
        QTest::newRow("too short") << QByteArray("19:00 cocina\n") << 1 << "se espera CUANDO DÍAS LUCES";
        QTest::newRow("open quotes") << QByteArray("19:00 todos \"Interior Casa\n") << 1 << "faltan las comillas";
        QTest::newRow("controls shown") << QByteArray("19:00 todos \x1b[2J\n") << 1 << "«\\x1b[2J»";
    }
    void badLinesAreNamed()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, line);
        QFETCH(QString, why);
        ParseError error;
        QVERIFY(!parsePlan(text, boxes(), &error));
        QCOMPARE(error.line, line);
        QVERIFY2(error.why.contains(why), qPrintable(error.why));
    }

    // Madrid skips 02:00-02:59 on 29 March 2026 and shows it twice on 25 October.
    void daylightSavingsGapAndRepeatInMadrid()
    {
        const QDate spring(2026, 3, 29), autumn(2026, 10, 25);
        QCOMPARE(utcText(localInstant(spring, 1 * 60 + 59)), QStringLiteral("2026-03-29T00:59:00Z"));
        for (const int skipped : {2 * 60, 2 * 60 + 30, 2 * 60 + 59, 3 * 60}) // the first minute after the gap
            QCOMPARE(utcText(localInstant(spring, skipped)), QStringLiteral("2026-03-29T01:00:00Z"));
        QCOMPARE(utcText(localInstant(autumn, 2 * 60 + 30)), QStringLiteral("2026-10-25T00:30:00Z")); // the first time
        QCOMPARE(utcText(localInstant(autumn, 3 * 60)), QStringLiteral("2026-10-25T02:00:00Z"));

        // Each runs once on each day.
        const Plan both = plan("02:30 todos cocina\n");
        for (const QDate &day : {spring, autumn}) {
            const Timeline t = timeline(both, 1, localInstant(day, 0), localInstant(day.addDays(1), 0));
            QCOMPARE(int(t.occurrences.size()), 1);
        }
        Rig rig("02:30 todos cocina\n", utc(2026, 10, 24, 23, 0));
        rig.schedule->start();
        QCOMPARE(*rig.alarm->armed, utc(2026, 10, 25, 0, 30));
        rig.ringAt(utc(2026, 10, 25, 0, 30));
        QCOMPARE(*rig.alarm->armed, utc(2026, 10, 26, 1, 30)); // not 01:30 the same night
        rig.ringAt(utc(2026, 10, 25, 1, 30));                  // nothing is due then
        QCOMPARE(rig.selected, QStringList{"cocina"});
    }

    // Mexico City has kept UTC-6 all year since 2022: no gap, no repeat, on the old change days too.
    void aZoneWithoutDaylightSaving()
    {
        zone("America/Mexico_City");
        for (QDate day(2026, 1, 1); day.year() == 2026; day = day.addDays(1))
            QCOMPARE(localInstant(day, 2 * 60 + 30), QDateTime(day, QTime(8, 30), Qt::UTC).toSecsSinceEpoch());
        const Plan daily = plan("02:30 todos cocina\n");
        QCOMPARE(int(timeline(daily, 1, utc(2026, 1, 1, 6, 0), utc(2027, 1, 1, 6, 0)).occurrences.size()), 365);
    }

    // Ours within a minute of NOAA's Solar Calculator tables (https://gml.noaa.gov/grad/solcalc/
    // table.php?lat=..&lon=..&year=2026, read 2026-05 to 10), which round to the minute.
    void sunriseAndSunsetAgreeWithNoaa_data()
    {
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::addColumn<QDate>("date");
        QTest::addColumn<int>("offset"); // hours, as the table prints its times
        QTest::addColumn<QTime>("sunrise");
        QTest::addColumn<QTime>("sunset");
        const auto row = [](const char *name, double lat, double lon, QDate date, int offset, const char *rise, const char *set) {
            QTest::newRow(name) << lat << lon << date << offset << QTime::fromString(QLatin1String(rise), QStringLiteral("HH:mm"))
                                << QTime::fromString(QLatin1String(set), QStringLiteral("HH:mm"));
        };
        row("Honolulu 1 Jan", 21.3, -157.85, QDate(2026, 1, 1), -10, "07:09", "18:01");
        row("Honolulu 20 Mar", 21.3, -157.85, QDate(2026, 3, 20), -10, "06:35", "18:43");
        row("Honolulu 21 Jun", 21.3, -157.85, QDate(2026, 6, 21), -10, "05:50", "19:16");
        row("Honolulu 22 Sep", 21.3, -157.85, QDate(2026, 9, 22), -10, "06:20", "18:27");
        row("Honolulu 21 Dec", 21.3, -157.85, QDate(2026, 12, 21), -10, "07:05", "17:55");
        row("San Diego 8 Oct", 32.7157, -117.1611, QDate(2026, 10, 8), -7, "06:48", "18:24");
        row("San Diego 21 Dec", 32.7157, -117.1611, QDate(2026, 12, 21), -8, "06:47", "16:47");
        row("León 15 Oct", 42.60, -5.57, QDate(2026, 10, 15), 2, "08:35", "19:40");
        row("Reykjavik 15 Oct", 64.13, -21.94, QDate(2026, 10, 15), 0, "08:18", "18:08");
    }
    void sunriseAndSunsetAgreeWithNoaa()
    {
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QFETCH(QDate, date);
        QFETCH(int, offset);
        QFETCH(QTime, sunrise);
        QFETCH(QTime, sunset);
        const qint64 midnight = QDateTime(date, QTime(0, 0), Qt::UTC).toSecsSinceEpoch() - offset * 3600;
        const Place place{latitude, longitude};
        for (const auto &[anchor, noaa] : {std::pair(Anchor::Sunrise, sunrise), {Anchor::Sunset, sunset}}) {
            Polar polar = Polar::Day;
            const auto ours = sunCrossing(anchor, place, midnight, midnight + 24 * 3600, &polar);
            QVERIFY(ours && polar == Polar::No);
            const double apart = *ours - double(midnight + noaa.msecsSinceStartOfDay() / 1000);
            QVERIFY2(std::abs(apart) <= 60, qPrintable(QStringLiteral("%1 s from NOAA's %2").arg(apart).arg(noaa.toString())));
        }
    }

    // A sunset event in León, through the house's own zone, falls on NOAA's minute.
    void aSunsetEventInMadridsZone()
    {
        const Plan leon = plan("latitud = 42.60\nlongitud = -5.57\natardecer todos cochera\natardecer-30 todos patio\n");
        const Timeline t = timeline(leon, 1, utc(2026, 10, 15, 0, 0), utc(2026, 10, 16, 0, 0));
        QCOMPARE(int(t.occurrences.size()), 2);
        QCOMPARE(t.occurrences[0].event, 1); // half an hour earlier
        QVERIFY(std::abs(t.occurrences[1].at - utc(2026, 10, 15, 17, 40)) <= 60);
        QCOMPARE(t.occurrences[1].at - t.occurrences[0].at, 30 * 60);
    }

    // Tromsø's sun does not rise from late November to mid-January: sunset's event skips those days,
    // says so once, and runs again after them.
    void polarNightInTromso()
    {
        zone("Europe/Oslo");
        Polar polar = Polar::No;
        const Place tromso{69.65, 18.96};
        QVERIFY(!sunCrossing(Anchor::Sunset, tromso, utc(2026, 12, 9, 23, 0), utc(2026, 12, 10, 23, 0), &polar));
        QVERIFY(polar == Polar::Night);
        QVERIFY(!sunCrossing(Anchor::Sunrise, tromso, utc(2026, 6, 20, 22, 0), utc(2026, 6, 21, 22, 0), &polar));
        QVERIFY(polar == Polar::Day);

        Rig rig("latitud = 69.65\nlongitud = 18.96\natardecer todos exterior_casa\n", utc(2026, 11, 15, 0, 0));
        rig.schedule->start();
        qint64 last = *rig.alarm->armed;
        rig.ringAt(last);
        while (*rig.alarm->armed - last < 30 * 24 * 3600 && rig.selected.size() < 20)
            rig.ringAt(last = *rig.alarm->armed); // one sunset after another, to the last before the dark
        const qint64 back = *rig.alarm->armed;
        QVERIFY2(localDate(last) >= QDate(2026, 11, 20) && localDate(last) <= QDate(2026, 11, 30), qPrintable(utcText(last)));
        QVERIFY2(localDate(back) >= QDate(2027, 1, 10) && localDate(back) <= QDate(2027, 1, 20), qPrintable(utcText(back)));
        const QStringList said = rig.told.filter(QStringLiteral("no hay atardecer"));
        QVERIFY2(said.size() == 1, qPrintable(rig.told.join("\n")));
        QVERIFY2(said.first().contains(QStringLiteral("(el sol no sale): el evento no se ejecuta los días sin él")), qPrintable(said.first()));
        rig.ringAt(back);
        QCOMPARE(rig.selected.last(), QStringLiteral("exterior_casa"));
    }

    // azar's draw stays within its window, the same all day, different from day to day and line to line.
    void azarStaysWithinItsWindow()
    {
        const Plan drawn = plan("20:00 todos cocina azar 30\n20:00 todos patio azar 30\n");
        const qint64 from = utc(2026, 1, 1, 0, 0), to = utc(2027, 1, 1, 0, 0);
        const Timeline year = timeline(drawn, 42, from, to);
        QCOMPARE(int(year.occurrences.size()), 2 * 365);
        QSet<int> moves;
        int sameForBoth = 0;
        for (const Occurrence &o : year.occurrences) {
            const int move = int(o.at - localInstant(localDate(o.at), 20 * 60)) / 60;
            QVERIFY2(move >= -30 && move <= 30, qPrintable(utcText(o.at)));
            moves << move;
            sameForBoth += drawnMinutes(42, localDate(o.at), 1, 30) == drawnMinutes(42, localDate(o.at), 2, 30);
        }
        QCOMPARE(moves.size(), 61); // every minute of the window drawn over a year
        QVERIFY(sameForBoth < 40);
        const Timeline again = timeline(drawn, 42, from, to);
        for (size_t i = 0; i < year.occurrences.size(); ++i)
            QCOMPARE(again.occurrences[i].at, year.occurrences[i].at);
        QVERIFY(timeline(drawn, 43, from, to).occurrences[0].at != year.occurrences[0].at ||
                timeline(drawn, 43, from, to).occurrences[2].at != year.occurrences[2].at);
    }

    // On time (up to a minute late) an event runs; later, it is missed and said, not replayed.
    void lateAndMissedEvents()
    {
        Rig rig("20:00 todos cocina\n21:00 todos apagadas\n", utc(2026, 6, 1, 17, 0)); // 19:00 in Madrid
        rig.schedule->start();
        QVERIFY(rig.selected.isEmpty());
        QCOMPARE(*rig.alarm->armed, utc(2026, 6, 1, 18, 0));
        rig.ringAt(utc(2026, 6, 1, 18, 0, 59));
        QCOMPARE(rig.selected, QStringList{"cocina"});
        QCOMPARE(*rig.alarm->armed, utc(2026, 6, 1, 19, 0));
        rig.ringAt(utc(2026, 6, 1, 19, 1, 1)); // 61 s late
        QCOMPARE(rig.selected, QStringList{"cocina"});
        QVERIFY(rig.told.last().contains(QStringLiteral("1 eventos pasaron sin ejecutarse, el último a las 21:00 (línea 2)")));
        QCOMPARE(*rig.alarm->armed, utc(2026, 6, 2, 18, 0));
        // A clock set back replays nothing that ran.
        rig.ringAt(utc(2026, 6, 1, 17, 30));
        rig.ringAt(utc(2026, 6, 1, 17, 45));
        QCOMPARE(rig.selected, QStringList{"cocina"});
        QCOMPARE(*rig.alarm->armed, utc(2026, 6, 1, 18, 0)); // by this clock, 20:00 is still to come
        QCOMPARE(rig.told.filter(QStringLiteral("horario: 20:00 (línea 1): cocina")).size(), 1);

        // A selection that was not done is said once, after the event's own line.
        rig.failing = QStringLiteral("la salida pedida no está disponible");
        rig.told.clear();
        rig.ringAt(utc(2026, 6, 1, 18, 0));
        QCOMPARE(rig.told, (QStringList{"horario: 20:00 (línea 1): cocina",
                                        "horario: 20:00 (línea 1): cocina no se hizo: la salida pedida no está disponible"}));
    }

    // al_iniciar = ultimo: at start and on every wake-up that finds events missed, the latest missed
    // in the last 24 hours.
    void alIniciarSelectsTheLatestMissed()
    {
        const QByteArray text = "al_iniciar = ultimo\n20:00 todos cocina\n23:30 lun-vie apagadas\n";
        // An event on time runs as itself; without al_iniciar, or with nothing missed, nothing.
        for (const auto &[file, start, selected, asItself] : std::vector<std::tuple<QByteArray, qint64, QString, bool>>{
                 {text, utc(2026, 6, 2, 0, 0), kNoBox, false},       // Tuesday 02:00: Monday's 23:30 was the last
                 {text, utc(2026, 6, 2, 19, 0), "cocina", false},    // 21:00
                 {text, utc(2026, 6, 7, 17, 0), "cocina", false},    // Sunday 19:00: Saturday's 20:00, no 23:30
                 {text, utc(2026, 6, 2, 18, 0, 40), "cocina", true}, // 40 s after 20:00
                 {"20:00 todos cocina\n", utc(2026, 6, 2, 19, 0), {}, false},
                 {"al_iniciar = ultimo\n20:00 lun cocina\n", utc(2026, 6, 4, 19, 0), {}, false}}) { // Thursday
            Rig rig(file, start);
            rig.schedule->start();
            QCOMPARE(rig.selected.join(QString()), selected);
            const bool saidAtStart = !rig.told.isEmpty() && rig.told.first().startsWith(QStringLiteral("horario: al_iniciar"));
            QCOMPARE(saidAtStart, !selected.isEmpty() && !asItself);
        }

        // Started at 19:00 (after Monday's 23:30), asleep until 22:00: the resume selects 20:00's box.
        Rig resumed(text, utc(2026, 6, 2, 17, 0));
        resumed.schedule->start();
        QCOMPARE(resumed.selected, QStringList{kNoBox});
        resumed.ringAt(utc(2026, 6, 2, 20, 0));
        QCOMPARE(resumed.selected, (QStringList{kNoBox, "cocina"}));
        QCOMPARE(resumed.told.last(), QStringLiteral("horario: al_iniciar = ultimo: 20:00 (línea 2): cocina"));
    }

    // A file with a mistake leaves the schedule off as a whole; a good one puts it back.
    void aBadEditTurnsTheScheduleOff()
    {
        Rig rig("20:00 todos cocina\n", utc(2026, 6, 1, 17, 0));
        rig.schedule->start();
        QSignalSpy changed(rig.schedule.get(), &Schedule::changed);
        rig.schedule->use(QByteArray("20:00 todos cocina\n21:00 todos terraza\n"), QStringLiteral("h.conf"));
        QVERIFY(!rig.schedule->plan());
        QCOMPARE(QStringLiteral("horario: ") + rig.schedule->whyOff(), rig.told.last()); // as the bus tells it
        QVERIFY(!rig.alarm->armed);
        QVERIFY(rig.told.last().startsWith(QStringLiteral("horario: h.conf:2: no hay ninguna casilla «terraza»")));
        QVERIFY(rig.told.last().endsWith(QStringLiteral("; el horario queda apagado")));
        rig.schedule->use(QByteArray("21:00 todos patio\n"), QStringLiteral("h.conf"));
        QCOMPARE(*rig.alarm->armed, utc(2026, 6, 1, 19, 0));
        QCOMPARE(rig.told.last(), QStringLiteral("horario: h.conf leído de nuevo: 1 eventos"));
        QVERIFY(rig.schedule->whyOff().isEmpty());
        rig.schedule->use(QByteArray("21:00 todos patio\n"), QStringLiteral("h.conf"));
        QCOMPARE(changed.size(), 2); // the same text again is no change
        // A file refused again for the same reason (its folder changed) is said once.
        for (int read = 0; read < 2; ++read)
            rig.schedule->use(std::nullopt, QStringLiteral("h.conf"), QStringLiteral("h.conf lo pueden cambiar otros usuarios"));
        QCOMPARE(rig.told.filter(QStringLiteral("otros usuarios")), QStringList{"horario: h.conf lo pueden cambiar otros usuarios"});
        QCOMPARE(changed.size(), 3);
    }

    void theFileIsReadWithoutTrustingIt()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("horario.conf"));
        QString why;
        QVERIFY(!readHorario({path, false}, &why) && why.isEmpty()); // none: nothing to say
        QVERIFY(!readHorario({path, true}, &why) && why.contains(QStringLiteral("no se pudo leer")));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("20:00 todos cocina\n");
        file.close();
        ::chmod(QFile::encodeName(path).constData(), 0664);
        QVERIFY(!readHorario({path, false}, &why));
        QVERIFY2(why.contains(QStringLiteral("lo pueden cambiar otros usuarios; el horario queda apagado. Que solo su dueño lo "
                                             "escriba: chmod go-w")),
                 qPrintable(why));
        ::chmod(QFile::encodeName(path).constData(), 0644);
        QCOMPARE(*readHorario({path, false}, &why), QByteArray("20:00 todos cocina\n"));
        QVERIFY(file.open(QIODevice::Append));
        file.write(QByteArray(64 * 1024, '#'));
        file.close();
        QVERIFY(!readHorario({path, false}, &why) && why.contains(QStringLiteral("hasta 64 KiB")));
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!readHorario({fifo, false}, &why) && why.contains(QStringLiteral("no es un archivo de horario"))); // at once
        if (::geteuid() != 0)
            QSKIP("a file of another user's needs root to make");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.close();
        QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
        QVERIFY(!readHorario({path, false}, &why) && why.contains(QStringLiteral("es de otro usuario")));
    }

    // An edit takes effect without a restart: in place, renamed over it, removed, made again, with
    // its folder made after the start.
    void anEditTakesEffect()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tenvalia/horario.conf"));
        const auto save = [&](const QByteArray &text, bool byRename) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(byRename ? path + QStringLiteral(".new") : path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(text);
            file.close();
            if (byRename)
                QVERIFY(::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) == 0);
        };
        Rig rig("", utc(2026, 6, 1, 17, 0));
        rig.schedule->use(std::nullopt, {});
        rig.schedule->watch({path, false});
        rig.schedule->start();
        QVERIFY(!rig.alarm->armed);
        const auto armedAt = [&](int hour) { return rig.alarm->armed && *rig.alarm->armed == utc(2026, 6, 1, hour, 0); };
        save("20:00 todos cocina\n", false);
        QTRY_VERIFY_WITH_TIMEOUT(armedAt(18), 10000);
        save("21:00 todos cocina\n", true);
        QTRY_VERIFY_WITH_TIMEOUT(armedAt(19), 10000);
        save("21:00 todos nada\n", false);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.alarm->armed, 10000);
        QVERIFY(rig.told.last().contains(QStringLiteral("horario.conf:1: no hay ninguna casilla «nada»")));
        // Refused for its permissions: said, and the schedule off until it is fixed.
        save("21:00 todos cocina\n", false);
        ::chmod(QFile::encodeName(path).constData(), 0666);
        QTRY_VERIFY_WITH_TIMEOUT(rig.told.last().contains(QStringLiteral("lo pueden cambiar otros usuarios")), 10000);
        QVERIFY(!rig.alarm->armed);
        QCOMPARE(QStringLiteral("horario: ") + rig.schedule->whyOff(), rig.told.last());
        QFile::remove(path);
        QTRY_VERIFY_WITH_TIMEOUT(rig.told.last().contains(QStringLiteral("ya no está")), 10000);
        save("22:00 todos patio\n", true);
        QTRY_VERIFY_WITH_TIMEOUT(armedAt(20), 10000);
    }

    // The real alarm: an instant already past rings at once.
    void theWallAlarmRings()
    {
        int error = 0;
        const auto alarm = wallAlarm(&error);
        QVERIFY(alarm);
        QSignalSpy rang(alarm.get(), &Alarm::rang);
        alarm->set(QDateTime::currentSecsSinceEpoch() - 5);
        QVERIFY(rang.wait(10000));
    }
};

QTEST_GUILESS_MAIN(ScheduleTest)
#include "schedule_test.moc"

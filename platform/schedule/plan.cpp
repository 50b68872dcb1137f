#include "plan.h"

#include "platform/text.h"

#include <QRegularExpression>

#include <cmath>

namespace platform::schedule {
namespace {

constexpr int kLongestSpread = 180;     // azar, minutes either way
constexpr int kFurthestFromSun = 720;   // minutes before or after sunrise or sunset
constexpr unsigned kEveryDay = 0x7F;

// Monday first, as QDate::dayOfWeek() counts from 1; the accented spellings too.
const QStringList kDays[] = {{"lun"}, {"mar"}, {"mie", "mié"}, {"jue"}, {"vie"}, {"sab", "sáb"}, {"dom"}};

QString quoted(const QString &text) { return QStringLiteral("«%1»").arg(escapeControls(text)); }

// Words split at spaces; "Interior Casa" in double quotes is one word.
QStringList wordsOf(const QString &line, bool *unclosed)
{
    QStringList words;
    QString word;
    bool inQuotes = false, inWord = false;
    for (const QChar c : line) {
        if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            inWord = true;
        } else if (c.isSpace() && !inQuotes) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    *unclosed = inQuotes;
    return words;
}

int dayNamed(const QString &text)
{
    for (int day = 0; day < 7; ++day)
        if (kDays[day].contains(text.toLower()))
            return day;
    return -1;
}

std::optional<unsigned> daysOf(const QString &text)
{
    if (text.compare(QLatin1String("todos"), Qt::CaseInsensitive) == 0)
        return kEveryDay;
    unsigned days = 0;
    for (const QString &item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.split(QLatin1Char('-'));
        const int first = dayNamed(ends.value(0)), last = ends.size() == 2 ? dayNamed(ends[1]) : first;
        if (ends.size() > 2 || first < 0 || last < 0)
            return std::nullopt;
        for (int day = first;; day = (day + 1) % 7) { // vie-lun goes round the weekend
            days |= 1u << day;
            if (day == last)
                break;
        }
    }
    return days;
}

// A number as a person in Spain may write it: 40.42 or 40,42.
std::optional<double> numberOf(const QString &text)
{
    bool ok = false;
    const double number = QString(text).replace(QLatin1Char(','), QLatin1Char('.')).toDouble(&ok);
    return ok && std::isfinite(number) ? std::optional(number) : std::nullopt;
}

struct Reader {
    const Boxes &boxes;
    ParseError *error;
    Plan plan;
    std::optional<double> latitude, longitude;
    int latitudeLine = 0, longitudeLine = 0, restoreLine = 0, firstSunLine = 0;

    bool refuse(int line, const QString &why)
    {
        *error = {line, why};
        return false;
    }

    bool key(int line, const QString &key, const QString &value)
    {
        const auto degrees = [&](std::optional<double> &into, int &at, double limit) {
            if (at)
                return refuse(line, QStringLiteral("%1 ya se dio en la línea %2").arg(key).arg(at));
            into = numberOf(value);
            if (!into || std::abs(*into) > limit)
                return refuse(line, QStringLiteral("%1 %2: se esperan grados de -%3 a %3 (40.42, o -3.70 al oeste)")
                                        .arg(key, quoted(value))
                                        .arg(limit));
            at = line;
            return true;
        };
        if (key == QLatin1String("latitud"))
            return degrees(latitude, latitudeLine, 90);
        if (key == QLatin1String("longitud"))
            return degrees(longitude, longitudeLine, 180);
        if (key == QLatin1String("al_iniciar")) {
            if (restoreLine)
                return refuse(line, QStringLiteral("al_iniciar ya se dio en la línea %1").arg(restoreLine));
            restoreLine = line;
            if (value == QLatin1String("ultimo") || value == QLatin1String("último"))
                plan.restoreAtStart = true;
            else if (value != QLatin1String("nada"))
                return refuse(line, QStringLiteral("al_iniciar %1: vale ultimo o nada").arg(quoted(value)));
            return true;
        }
        return refuse(line, QStringLiteral("clave desconocida %1: valen latitud, longitud y al_iniciar").arg(quoted(key)));
    }

    bool event(int line, const QString &text)
    {
        bool unclosed = false;
        QStringList words = wordsOf(text, &unclosed);
        if (unclosed)
            return refuse(line, QStringLiteral("faltan las comillas que cierran"));
        if (words.size() < 3)
            return refuse(line, QStringLiteral("se espera CUANDO DÍAS LUCES [azar MIN], como «19:30 lun-vie cocina»"));
        Event event;
        event.line = line;
        event.text = text;
        event.when = words.takeFirst();
        if (!when(line, event))
            return false;
        const QString days = words.takeFirst();
        const auto daysMask = daysOf(days);
        if (!daysMask)
            return refuse(line, QStringLiteral("%1 no son días: todos, lun, mar, mie, jue, vie, sab o dom, un rango "
                                               "(lun-vie) o una lista (sab,dom)")
                                    .arg(quoted(days)));
        event.days = *daysMask;
        if (words.size() >= 2 && words[words.size() - 2].compare(QLatin1String("azar"), Qt::CaseInsensitive) == 0) {
            bool ok = false;
            event.spread = words.last().toInt(&ok);
            if (!ok || event.spread < 1 || event.spread > kLongestSpread)
                return refuse(line, QStringLiteral("azar %1: se esperan minutos, de 1 a %2")
                                        .arg(quoted(words.last()))
                                        .arg(kLongestSpread));
            words.resize(words.size() - 2);
        }
        const QString lights = words.join(QLatin1Char(' '));
        event.box = boxes.find(lights);
        if (event.box.isEmpty())
            return refuse(line, QStringLiteral("no hay ninguna casilla %1; valen: %2 y %3")
                                    .arg(quoted(lights), boxes.names.join(QStringLiteral(", ")), kNoBox));
        plan.events.push_back(event);
        return true;
    }

    bool when(int line, Event &event)
    {
        static const QRegularExpression clock(QStringLiteral("^(\\d{1,2}):(\\d{2})$"));
        static const QRegularExpression sun(QStringLiteral("^(amanecer|atardecer)(?:([+-])(\\d{1,4}))?$"),
                                            QRegularExpression::CaseInsensitiveOption);
        if (const auto match = clock.match(event.when); match.hasMatch()) {
            const int hours = match.captured(1).toInt(), minutes = match.captured(2).toInt();
            if (hours > 23)
                return refuse(line, QStringLiteral("%1: las horas van de 00 a 23").arg(quoted(event.when)));
            if (minutes > 59)
                return refuse(line, QStringLiteral("%1: los minutos van de 00 a 59").arg(quoted(event.when)));
            event.minutes = hours * 60 + minutes;
            return true;
        }
        const auto match = sun.match(event.when);
        if (!match.hasMatch())
            return refuse(line, QStringLiteral("%1 no es un momento: HH:MM, amanecer o atardecer, estos con +MIN o -MIN "
                                               "(atardecer-15)")
                                    .arg(quoted(event.when)));
        event.anchor = match.captured(1).toLower() == QLatin1String("amanecer") ? Anchor::Sunrise : Anchor::Sunset;
        event.minutes = match.captured(3).toInt() * (match.captured(2) == QLatin1String("-") ? -1 : 1);
        if (std::abs(event.minutes) > kFurthestFromSun)
            return refuse(line, QStringLiteral("%1: a lo sumo %2 minutos antes o después").arg(quoted(event.when)).arg(kFurthestFromSun));
        if (!firstSunLine)
            firstSunLine = line;
        return true;
    }

    bool finish()
    {
        if (latitudeLine && !longitudeLine)
            return refuse(latitudeLine, QStringLiteral("latitud sin longitud: hacen falta las dos"));
        if (longitudeLine && !latitudeLine)
            return refuse(longitudeLine, QStringLiteral("longitud sin latitud: hacen falta las dos"));
        if (latitude && longitude)
            plan.place = Place{*latitude, *longitude};
        if (firstSunLine && !plan.place)
            return refuse(firstSunLine, QStringLiteral("amanecer y atardecer necesitan dónde está la casa: latitud y "
                                                       "longitud en el archivo"));
        return true;
    }
};

} // namespace

std::optional<Plan> parsePlan(const QByteArray &text, const Boxes &boxes, ParseError *error)
{
    Reader reader{boxes, error, {}, {}, {}};
    int number = 0;
    for (const QString &raw : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        ++number;
        const QString line = raw.left(raw.indexOf(QLatin1Char('#'))).trimmed();
        if (line.isEmpty())
            continue;
        const int equals = line.indexOf(QLatin1Char('='));
        const bool ok = equals >= 0 ? reader.key(number, line.left(equals).trimmed(), line.mid(equals + 1).trimmed())
                                    : reader.event(number, line);
        if (!ok)
            return std::nullopt;
    }
    if (!reader.finish())
        return std::nullopt;
    return std::move(reader.plan);
}

} // namespace platform::schedule

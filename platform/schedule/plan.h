// The schedule as its file writes it: where the house is, what to do at start, and one event a
// line. The schedule knows boxes by name only; which lines a box switches is the window's.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace platform::schedule {

// What a selection of no box is called, in the file and to whoever selects.
inline const QString kNoBox = QStringLiteral("apagadas");

struct Place {
    double latitude;  // degrees, north positive
    double longitude; // degrees, east positive
};

enum class Anchor { Clock, Sunrise, Sunset };

struct Event {
    int line = 0; // in the file, from 1
    Anchor anchor = Anchor::Clock;
    int minutes = 0;   // Clock: minute of the day; sun: minutes after it (before when negative)
    unsigned days = 0; // bit 0 Monday ... bit 6 Sunday
    QString box;       // a box's ASCII name, or kNoBox
    int spread = 0;    // azar: moved by up to this many minutes either way, drawn once a day
    QString when;      // as the file writes it, for listings
    QString text;      // the whole line as the file writes it, without its comment
};

struct Plan {
    std::optional<Place> place;
    bool restoreAtStart = false; // al_iniciar = ultimo
    std::vector<Event> events;   // in the file's order
};

// The boxes as the file may name them.
struct Boxes {
    // The ASCII name of the box the file calls `written` (its name or caption, in any case),
    // kNoBox for "apagadas", or empty when there is none.
    std::function<QString(const QString &written)> find;
    QStringList names; // every box's ASCII name, for the person who wrote another
};

struct ParseError {
    int line = 0;
    QString why;
};

// The whole file, or the first line that is wrong: never part of a schedule.
std::optional<Plan> parsePlan(const QByteArray &text, const Boxes &boxes, ParseError *error);

} // namespace platform::schedule

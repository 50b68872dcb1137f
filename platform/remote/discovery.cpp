#include "discovery.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace platform::remote::messages {
namespace {

QByteArray json(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QString deviceId(const QByteArray &node) { return QStringLiteral("tenvalia_") + QString::fromLatin1(node); }

// The shape every entity shares: what it is, what it is called, how Home Assistant tells it
// apart, and when it is there at all (while Tenvalia is online).
QJsonObject entity(const QString &platform, const QString &name, const QString &uniqueId, const QString &base)
{
    return {{QStringLiteral("platform"), platform},
            {QStringLiteral("name"), name},
            {QStringLiteral("unique_id"), uniqueId},
            {QStringLiteral("availability_topic"), base + QStringLiteral("availability")}};
}

} // namespace

QByteArray state(const State &state)
{
    return json({{QStringLiteral("value"), state.value},
                 {QStringLiteral("lines"), QStringLiteral("%1").arg(state.value, 8, 2, QLatin1Char('0'))},
                 {QStringLiteral("ticked"), QJsonArray::fromStringList(state.ticked)},
                 {QStringLiteral("selected"), state.selected},
                 {QStringLiteral("output"), state.output},
                 {QStringLiteral("simulated"), state.simulated},
                 {QStringLiteral("available"), state.available}});
}

QByteArray click(const QString &name, bool ticked, int value, Origin origin)
{
    return json({{QStringLiteral("event_type"), name},
                  {QStringLiteral("ticked"), ticked},
                  {QStringLiteral("value"), value},
                  {QStringLiteral("origin"), originName(origin)}});
}

QByteArray discoveryTopic(const QByteArray &prefix, const QByteArray &node)
{
    return prefix + "/device/" + deviceId(node).toLatin1() + "/config";
}

// The lit box as a select, set by clicks on its box; the boxes as buttons that click; the lines
// as power sensors, named by the box that switches each alone, read from what the output holds
// and unavailable while it stands in for the one asked for; a problem sensor that is on
// meanwhile; an event for every click.
QByteArray discovery(const QByteArray &node, const QList<Switchboard::Box> &boxes, const QStringList &lines)
{
    const QString base = QStringLiteral("tenvalia/") + QString::fromLatin1(node) + QLatin1Char('/');
    const QString id = deviceId(node), stateTopic = base + QStringLiteral("state");
    QJsonObject components;

    QStringList options{QStringLiteral("Apagadas")}, names;
    QString captions = QStringLiteral("'%1': 'Apagadas'").arg(Switchboard::allOffName());
    for (const Switchboard::Box &box : boxes) {
        options << box.caption;
        names << box.name;
        captions += QStringLiteral(", '%1': '%2'").arg(box.name, QString(box.caption).replace(QLatin1Char('\''), QStringLiteral("\\'")));
    }
    QJsonObject select = entity(QStringLiteral("select"), QStringLiteral("Luces"), id + QStringLiteral("_luces"), base);
    select[QStringLiteral("command_topic")] = base + QStringLiteral("select");
    select[QStringLiteral("state_topic")] = stateTopic;
    select[QStringLiteral("value_template")] = QStringLiteral("{{ {%1}.get(value_json.selected, 'None') }}").arg(captions);
    select[QStringLiteral("options")] = QJsonArray::fromStringList(options);
    select[QStringLiteral("icon")] = QStringLiteral("mdi:lightbulb-group");
    components[id + QStringLiteral("_luces")] = select;

    for (const Switchboard::Box &box : boxes) {
        QJsonObject button = entity(QStringLiteral("button"), box.caption, id + QLatin1Char('_') + box.name, base);
        button[QStringLiteral("command_topic")] = base + QStringLiteral("click");
        button[QStringLiteral("payload_press")] = box.name;
        components[id + QLatin1Char('_') + box.name] = button;
    }

    // Both online and the output available: every availability must hold.
    const QJsonArray whileAvailable{
        QJsonObject{{QStringLiteral("topic"), base + QStringLiteral("availability")}},
        QJsonObject{{QStringLiteral("topic"), stateTopic},
                    {QStringLiteral("value_template"), QStringLiteral("{{ 'online' if value_json.available else 'offline' }}")}}};
    for (int line = 0; line < lines.size(); ++line) {
        const QString unique = id + QStringLiteral("_d%1").arg(line);
        QJsonObject sensor = entity(QStringLiteral("binary_sensor"), QStringLiteral("%1 (D%2)").arg(lines[line]).arg(line), unique, base);
        sensor.remove(QStringLiteral("availability_topic"));
        sensor[QStringLiteral("availability")] = whileAvailable;
        sensor[QStringLiteral("availability_mode")] = QStringLiteral("all");
        sensor[QStringLiteral("device_class")] = QStringLiteral("power");
        sensor[QStringLiteral("state_topic")] = stateTopic;
        sensor[QStringLiteral("value_template")] = QStringLiteral("{{ value_json.lines[%1] }}").arg(lines.size() - 1 - line);
        sensor[QStringLiteral("payload_on")] = QStringLiteral("1");
        sensor[QStringLiteral("payload_off")] = QStringLiteral("0");
        components[unique] = sensor;
    }

    QJsonObject problem = entity(QStringLiteral("binary_sensor"), QStringLiteral("Salida"), id + QStringLiteral("_salida"), base);
    problem[QStringLiteral("device_class")] = QStringLiteral("problem");
    problem[QStringLiteral("entity_category")] = QStringLiteral("diagnostic");
    problem[QStringLiteral("state_topic")] = stateTopic;
    problem[QStringLiteral("value_template")] = QStringLiteral("{{ 'OFF' if value_json.available else 'ON' }}");
    components[id + QStringLiteral("_salida")] = problem;

    QJsonObject event = entity(QStringLiteral("event"), QStringLiteral("Clic"), id + QStringLiteral("_click"), base);
    event[QStringLiteral("state_topic")] = base + QStringLiteral("event");
    event[QStringLiteral("event_types")] = QJsonArray::fromStringList(names);
    components[id + QStringLiteral("_click")] = event;

    return json({{QStringLiteral("device"), QJsonObject{{QStringLiteral("identifiers"), QJsonArray{id}},
                                                        {QStringLiteral("name"), QStringLiteral("Tenvalia ") + QString::fromLatin1(node)},
                                                        {QStringLiteral("manufacturer"), QStringLiteral("Tenvalia")},
                                                        {QStringLiteral("model"), QStringLiteral("Luces de 8 líneas")},
                                                        {QStringLiteral("sw_version"), QStringLiteral(TENVALIA_VERSION)}}},
                 {QStringLiteral("origin"), QJsonObject{{QStringLiteral("name"), QStringLiteral("tenvalia")},
                                                        {QStringLiteral("sw_version"), QStringLiteral(TENVALIA_VERSION)}}},
                 {QStringLiteral("components"), components}});
}

} // namespace platform::remote::messages

#include "control/ControlStatus.h"

#include <cstdio>

namespace cadentor::control {

namespace {

const char* outcomeName(RowOutcome outcome) {
    switch (outcome) {
    case RowOutcome::Done:
        return "Done";
    case RowOutcome::Failed:
        return "Failed";
    case RowOutcome::Missed:
        return "Missed";
    case RowOutcome::Pending:
        break;
    }
    return "Pending";
}

// The length of the UTF-8 sequence at text[i], 0 when none starts there (overlong forms,
// surrogates and code points above U+10FFFF included).
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF; // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    return length;
}

std::string number(std::int64_t value) {
    return std::to_string(value);
}

// Fields of one JSON object, comma-separated as they are added.
class JsonObject {
public:
    JsonObject& raw(const char* key, const std::string& json) {
        text_ += text_.size() > 1 ? ",\"" : "\"";
        text_ += key;
        text_ += "\":";
        text_ += json;
        return *this;
    }
    JsonObject& string(const char* key, std::string_view value) {
        return raw(key, jsonString(value));
    }
    JsonObject& integer(const char* key, std::int64_t value) { return raw(key, number(value)); }
    std::string close() { return text_ + "}"; }

private:
    std::string text_ = "{";
};

template <typename Items, typename Render>
std::string jsonArray(const Items& items, Render render) {
    std::string text = "[";
    for (const auto& item : items) {
        if (text.size() > 1)
            text += ',';
        text += render(item);
    }
    return text + "]";
}

} // namespace

TimeCode ShowStatus::positionAt(std::int64_t nowNs) const {
    if (state != ShowState::Running || nowNs <= takenNs)
        return position;
    return position + static_cast<TimeCode>((nowNs - takenNs) / 1000000);
}

std::string ShowStatus::currentName() const {
    if (!current || !rows || *current < 0 || static_cast<std::size_t>(*current) >= rows->size())
        return {};
    return (*rows)[static_cast<std::size_t>(*current)].name;
}

const char* stateName(ShowState state) {
    switch (state) {
    case ShowState::Running:
        return "running";
    case ShowState::Paused:
        return "paused";
    case ShowState::Finished:
        return "finished";
    case ShowState::Waiting:
        break;
    }
    return "waiting";
}

std::string jsonString(std::string_view text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (std::size_t length = utf8Length(text, i)) {
                json.append(text.substr(i, length));
                i += length;
            } else { // Latin-1: U+0080 to U+00FF in two bytes
                json += static_cast<char>(0xC0 | (c >> 6));
                json += static_cast<char>(0x80 | (c & 0x3F));
                ++i;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += static_cast<char>(c);
        }
        ++i;
    }
    return json + "\"";
}

std::string statusJson(const ShowStatus& status, std::int64_t nowNs, std::uint64_t oscMalformed,
                       bool withOutcomes) {
    JsonObject json;
    json.string("version", status.version)
        .string("state", stateName(status.state))
        .integer("position_ms", status.positionAt(nowNs))
        .integer("pass", status.pass)
        .integer("events", status.events)
        .integer("done", status.done)
        .integer("failed", status.failed)
        .raw("current", status.current ? number(*status.current) : "null");
    json.raw("next", status.next ? JsonObject()
                                       .integer("time_ms", status.next->time)
                                       .string("name", status.next->name)
                                       .string("port", status.next->port)
                                       .close()
                                 : "null");
    json.raw("last_failure", status.lastFailure ? JsonObject()
                                                      .integer("time_ms", status.lastFailure->time)
                                                      .string("name", status.lastFailure->name)
                                                      .string("reason", status.lastFailure->reason)
                                                      .close()
                                                : "null");
    json.raw("ports", jsonArray(status.ports, [](const PortStatus& port) {
                 return JsonObject()
                     .integer("id", port.id)
                     .string("device", port.device)
                     .string("state", port.state)
                     .string("reason", port.reason)
                     .close();
             }));
    json.integer("osc_malformed", static_cast<std::int64_t>(oscMalformed));
    if (withOutcomes)
        json.string("outcomes",
                    std::string_view(reinterpret_cast<const char*>(status.outcomes.data()),
                                     status.outcomes.size()));
    return json.close();
}

std::string eventsJson(const ShowStatus& status) {
    std::string text = "[";
    const std::size_t count = status.rows ? status.rows->size() : 0;
    for (std::size_t i = 0; i < count; ++i) {
        const EventRow& row = (*status.rows)[i];
        if (i > 0)
            text += ',';
        text +=
            JsonObject()
                .integer("index", static_cast<std::int64_t>(i))
                .integer("time_ms", row.time)
                .string("time", formatTimeCode(row.time))
                .string("port", row.port)
                .string("name", row.name)
                .string("outcome", outcomeName(i < status.outcomes.size() ? status.outcomes[i]
                                                                          : RowOutcome::Pending))
                .close();
    }
    return text + "]";
}

std::string layoutJson(const ShowStatus& status) {
    static const std::vector<EventRow> noRows;
    static const std::vector<std::string> noCommands;
    return JsonObject()
        .raw("rows", jsonArray(status.rows ? *status.rows : noRows,
                               [](const EventRow& row) {
                                   return JsonObject()
                                       .string("time", formatTimeCode(row.time))
                                       .string("port", row.port)
                                       .string("name", row.name)
                                       .close();
                               }))
        .raw("commands", jsonArray(status.commands ? *status.commands : noCommands,
                                   [](const std::string& name) { return jsonString(name); }))
        .close();
}

} // namespace cadentor::control

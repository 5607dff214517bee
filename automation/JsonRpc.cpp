#include "automation/JsonRpc.h"

#include "automation/MethodRegistry.h"

#include "document/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QString>
#include <QVariant>

#include <cmath>
#include <limits>

nlohmann::json JsonToPlain(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double: {
        const QVariant number = value.toVariant();
        if (number.typeId() == QMetaType::LongLong) {
            const qint64 whole = number.toLongLong();
            return whole >= 0 ? nlohmann::json(static_cast<std::uint64_t>(whole)) : nlohmann::json(static_cast<std::int64_t>(whole));
        }
        // A fraction reads back as the same double; a whole one as Qt writes it (5.0 as 5).
        const double d = value.toDouble();
        if (std::trunc(d) != d)
            return d;
        const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        const nlohmann::json wrapped = nlohmann::json::parse(text.constData(), text.constData() + text.size(), nullptr, false);
        return wrapped.is_array() && wrapped.size() == 1 ? wrapped[0] : nlohmann::json();
    }
    case QJsonValue::String:
        return value.toString().toStdString();
    case QJsonValue::Array: {
        nlohmann::json array = nlohmann::json::array();
        for (const QJsonValue& item : value.toArray())
            array.push_back(JsonToPlain(item));
        return array;
    }
    case QJsonValue::Object: {
        nlohmann::json object = nlohmann::json::object();
        const QJsonObject members = value.toObject();
        for (auto it = members.begin(); it != members.end(); ++it)
            object[it.key().toStdString()] = JsonToPlain(it.value());
        return object;
    }
    default:
        return nullptr;
    }
}

QJsonValue JsonFromPlain(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::boolean:
        return value.get<bool>();
    case nlohmann::json::value_t::number_integer:
        return static_cast<qint64>(value.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
        const std::uint64_t whole = value.get<std::uint64_t>();
        if (whole <= static_cast<std::uint64_t>(std::numeric_limits<qint64>::max()))
            return static_cast<qint64>(whole);
        return static_cast<double>(whole);
    }
    case nlohmann::json::value_t::number_float: {
        const double d = value.get<double>();
        return std::isfinite(d) ? QJsonValue(d) : QJsonValue();
    }
    case nlohmann::json::value_t::string:
        return QString::fromStdString(value.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
        QJsonArray array;
        for (const nlohmann::json& item : value)
            array.append(JsonFromPlain(item));
        return array;
    }
    case nlohmann::json::value_t::object: {
        QJsonObject object;
        for (auto it = value.begin(); it != value.end(); ++it)
            object.insert(QString::fromStdString(it.key()), JsonFromPlain(it.value()));
        return object;
    }
    default:
        return QJsonValue();
    }
}

namespace {
QByteArray Reply(const QJsonValue& id, const QJsonValue& result) {
    const QJsonObject reply{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}};
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

}  // namespace

QByteArray JsonRpcError(const QJsonValue& id, int code, const QString& message) {
    const QJsonObject reply{{"jsonrpc", "2.0"}, {"id", id}, {"error", QJsonObject{{"code", code}, {"message", message}}}};
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

QByteArray HandleJsonRpc(const MethodRegistry& methods, const QByteArray& request) {
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return JsonRpcError(QJsonValue::Null, rpc::kParseError, QStringLiteral("Parse error: %1").arg(parseError.errorString()));
    if (!doc.isObject())
        return JsonRpcError(QJsonValue::Null, rpc::kInvalidRequest, QStringLiteral("Invalid Request: one JSON object per line"));
    const QJsonObject object = doc.object();
    const QJsonValue idValue = object.value(QLatin1String("id"));
    const bool notification = idValue.isUndefined();
    const QJsonValue id = notification ? QJsonValue(QJsonValue::Null) : idValue;
    if (!(id.isNull() || id.isString() || id.isDouble()))
        return JsonRpcError(QJsonValue::Null, rpc::kInvalidRequest,
                            QStringLiteral("Invalid Request: id must be a string, a number or null"));
    if (object.value(QLatin1String("jsonrpc")) != QJsonValue(QStringLiteral("2.0")))
        return JsonRpcError(id, rpc::kInvalidRequest, QStringLiteral("Invalid Request: \"jsonrpc\" must be \"2.0\""));
    const QJsonValue method = object.value(QLatin1String("method"));
    if (!method.isString())
        return JsonRpcError(id, rpc::kInvalidRequest, QStringLiteral("Invalid Request: \"method\" must be a string"));

    // Qt keeps the last of a key given twice; a request that says two things is carried out in
    // neither sense.
    if (const auto duplicate = FindDuplicateKey(std::string_view(request.constData(), static_cast<std::size_t>(request.size())))) {
        const QString path = QString::fromStdString(duplicate->Path());
        if (notification)
            return {};
        if (duplicate->where.rfind("params", 0) == 0)
            return JsonRpcError(id, rpc::kInvalidParams, QStringLiteral("Invalid params: %1: duplicate key").arg(path));
        return JsonRpcError(duplicate->key == "id" ? QJsonValue::Null : id, rpc::kInvalidRequest,
                            QStringLiteral("Invalid Request: %1: duplicate key").arg(path));
    }
    const QJsonValue params = object.value(QLatin1String("params"));
    const MethodOutcome outcome = methods.Call(method.toString().toStdString(),
                                               params.isUndefined() ? std::nullopt : std::optional(JsonToPlain(params)));
    if (notification)
        return {};
    if (outcome.Failed())
        return JsonRpcError(id, outcome.errorCode, QString::fromStdString(outcome.errorMessage));
    return Reply(id, JsonFromPlain(outcome.result));
}

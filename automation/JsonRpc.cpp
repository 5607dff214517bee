#include "automation/JsonRpc.h"

#include "automation/MethodRegistry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QString>

namespace {

// Between Qt's JSON, which reads the request, and the plain code's, which the methods take.
std::optional<nlohmann::json> ToPlain(const QJsonValue& value) {
    if (value.isUndefined())
        return std::nullopt;
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    const nlohmann::json wrapped = nlohmann::json::parse(text.constData(), text.constData() + text.size(), nullptr, false);
    return wrapped.is_array() && wrapped.size() == 1 ? wrapped[0] : nlohmann::json();
}

QJsonValue FromPlain(const nlohmann::json& value) {
    if (value.is_null()) return QJsonValue();
    const nlohmann::json wrapped = nlohmann::json::array({value});
    // A message may quote a file's bytes: what is not UTF-8 shows as U+FFFD instead of failing.
    const std::string text = wrapped.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).array().at(0);
}

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

    const MethodOutcome outcome =
        methods.Call(method.toString().toStdString(), ToPlain(object.value(QLatin1String("params"))));
    if (notification)
        return {};
    if (outcome.Failed())
        return JsonRpcError(id, outcome.errorCode, QString::fromStdString(outcome.errorMessage));
    return Reply(id, FromPlain(outcome.result));
}

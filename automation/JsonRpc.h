// JSON-RPC 2.0 requests answered through the method registry: the envelope (id, "jsonrpc",
// method, params) checked and the reply written. Every door that carries JSON-RPC (the line
// server, an HTTP request body) hands its request here.
#pragma once

#include <nlohmann/json.hpp>

#include <QByteArray>

class MethodRegistry;
class QJsonValue;
class QString;

/// The reply to one request (compact JSON, no line end); empty for a notification.
QByteArray HandleJsonRpc(const MethodRegistry& methods, const QByteArray& request);

/// An error reply: for a request that cannot be read, or a notice the server sends of itself
/// (id null).
QByteArray JsonRpcError(const QJsonValue& id, int code, const QString& message);

/// Qt's JSON value as the methods take it: each number as its JSON text reads (5.0 is written
/// and read back as the whole number 5), without writing the whole value out.
nlohmann::json JsonToPlain(const QJsonValue& value);
/// A method's result as Qt's JSON value; numbers that are not finite become null.
QJsonValue JsonFromPlain(const nlohmann::json& value);

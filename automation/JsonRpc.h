// JSON-RPC 2.0 requests answered through the method registry: the envelope (id, "jsonrpc",
// method, params) checked and the reply written. Every door that carries JSON-RPC (the line
// server, an HTTP request body) hands its request here.
#pragma once

#include <QByteArray>

class MethodRegistry;
class QJsonValue;
class QString;

/// The reply to one request (compact JSON, no line end); empty for a notification.
QByteArray HandleJsonRpc(const MethodRegistry& methods, const QByteArray& request);

/// An error reply: for a request that cannot be read, or a notice the server sends of itself
/// (id null).
QByteArray JsonRpcError(const QJsonValue& id, int code, const QString& message);

// Qt's JSON and the methods' JSON converted value by value give what writing the value out and
// reading it back gives (the way the methods were first reached), number types included.
#include "automation/JsonRpc.h"
#include "automation/MethodRegistry.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

const char* const kValues[] = {
    "5", "-5", "0", "-0", "5.0", "-0.0", "5.5", "0.1", "1e6", "1000000", "1e20", "1e300", "-1e-300",
    "9007199254740993", "9223372036854775807", "-9223372036854775808", "9223372036854775808",
    "18446744073709551616", "true", "false", "null", R"("\u00e9\u0000x")", R"("")",
    R"([1, [2.0, {"a": 3, "b": -0.5}]])", R"({"z": 1.5, "a": [], "m": {}})",
};

TEST(JsonConversion, ValueByValueAsThroughText) {
    for (const char* text : kValues) {
        const QJsonValue qt = QJsonDocument::fromJson(QByteArray("[") + text + "]").array().at(0);
        const QByteArray written = QJsonDocument(QJsonArray{qt}).toJson(QJsonDocument::Compact);
        const nlohmann::json throughText = nlohmann::json::parse(written.toStdString())[0];
        const nlohmann::json direct = JsonToPlain(qt);
        EXPECT_EQ(direct.dump(), throughText.dump()) << text;
        EXPECT_EQ(direct.type(), throughText.type()) << text;

        const nlohmann::json plain = nlohmann::json::parse(text);
        const QJsonValue back = QJsonDocument::fromJson(QByteArray::fromStdString(nlohmann::json::array({plain}).dump()))
                                    .array().at(0);
        EXPECT_EQ(QJsonDocument(QJsonArray{JsonFromPlain(plain)}).toJson(QJsonDocument::Compact),
                  QJsonDocument(QJsonArray{back}).toJson(QJsonDocument::Compact)) << text;
    }
}

}  // namespace

// Qt keeps the last of a key given twice, so {"unit": 1, "unit": 2} reached a method as unit 2.
// Such a request is refused naming the key, and the method never runs.
TEST(JsonRpc, AKeyGivenTwiceIsRefusedByNameAndNothingRuns)
{
    int calls = 0;
    MethodRegistry methods;
    methods.Add({"AddFault", "faults", {{"rule", "object"}}, [&calls](const nlohmann::json&) {
                     ++calls;
                     return MethodOutcome::Done(nlohmann::json(0));
                 }});
    struct Case { const char* request; int code; const char* message; };
    const Case cases[] = {
        {R"({"jsonrpc": "2.0", "id": 1, "method": "AddFault", "params": [{"action": "delay", "unit": 1, "unit": 2}]})",
         rpc::kInvalidParams, "Invalid params: params[0].unit: duplicate key"},
        {R"({"jsonrpc": "2.0", "id": 1, "method": "AddFault", "params": [{"functions": [3], "x": {"a": 1, "a": 1}}]})",
         rpc::kInvalidParams, "Invalid params: params[0].x.a: duplicate key"},
        {R"({"jsonrpc": "2.0", "id": 1, "method": "AddFault", "method": "AddFault", "params": [{}]})",
         rpc::kInvalidRequest, "Invalid Request: method: duplicate key"},
    };
    for (const Case& c : cases) {
        const QJsonObject reply = QJsonDocument::fromJson(HandleJsonRpc(methods, c.request)).object();
        EXPECT_EQ(reply["error"]["code"].toInt(), c.code) << c.request;
        EXPECT_EQ(reply["error"]["message"].toString().toStdString(), c.message) << c.request;
    }
    EXPECT_EQ(calls, 0);
    const QJsonObject fine = QJsonDocument::fromJson(HandleJsonRpc(
        methods, R"({"jsonrpc": "2.0", "id": 1, "method": "AddFault", "params": [{"unit": 1, "x": {"unit": 1}}]})")).object();
    EXPECT_EQ(fine["result"].toInt(), 0);
    EXPECT_EQ(calls, 1);
}

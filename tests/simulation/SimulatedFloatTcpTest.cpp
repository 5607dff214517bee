// A third-party master (pymodbus) reads a float that the simulation rewrites on another thread,
// through the engine's Modbus/TCP server: it must never see half of one value and half of the
// next.
#include "document/CKelvaro32Doc.h"
#include "engine/ProtocolEngine.h"
#include "document/CAutomatePt.h"
#include "simulation/SimulationEngine.h"

#include <QFileInfo>
#include <QProcess>
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <thread>

namespace {

// Reads two registers N times and counts each (r0, r1) pair; prints "pairs a b count" lines.
constexpr const char* kReader = R"PY(
import collections, sys
from pymodbus.client import ModbusTcpClient
port, reads = int(sys.argv[1]), int(sys.argv[2])
seen = collections.Counter()
errors = 0
with ModbusTcpClient("127.0.0.1", port=port, timeout=3) as c:
    for _ in range(reads):
        rr = c.read_holding_registers(0, 2, slave=1)
        if rr.isError():
            errors += 1
            continue
        seen[tuple(rr.registers)] += 1
print("errors", errors)
for (a, b), n in seen.items():
    print("pair", a, b, n)
)PY";

constexpr const char* kPython = "/usr/bin/python3";

} // namespace

TEST(SimulatedFloatOverTcp, MasterNeverSeesATornValueIn10000Reads)
{
    if (!QFileInfo::exists(kPython))
        GTEST_SKIP() << "no " << kPython;

    CKelvaro32Doc doc{DocumentContext{}};
    doc.pointType = 3;
    doc.startAddress = 1;
    doc.length = 10;

    // Increment from low by one step reaches high exactly, the next step wraps to low: the point
    // alternates between two floats whose low and high words both differ.
    CAutomatePt point;
    point.pointIndex = 0;
    point.valueType = kValueFloatLowFirst;
    point.simulationType = kSimIncrement;
    point.lowLimit = 1.1f;
    point.step = 1.0f;
    point.highLimit = point.lowLimit + point.step;
    const auto low = std::bit_cast<std::uint32_t>(point.lowLimit);
    const auto high = std::bit_cast<std::uint32_t>(point.highLimit);
    ASSERT_NE(low & 0xFFFF, high & 0xFFFF);
    ASSERT_NE(low >> 16, high >> 16);
    doc.SetWord(0, static_cast<std::uint16_t>(low));
    doc.SetWord(1, static_cast<std::uint16_t>(low >> 16));

    pomrel::ProtocolEngine engine;
    ASSERT_NE(engine.DefineDataBlock(1, 3, 1, 10, doc.memory.data(), &doc.valueLock), pomrel::kNoHandle);
    engine.SetTCPServicePort(0);
    const pomrel::Handle server = engine.OpenTCPConnection(nullptr, 0);
    ASSERT_NE(server, pomrel::kNoHandle) << engine.LastOpenError();
    const std::uint16_t port = engine.BoundTcpPort(server);
    ASSERT_NE(port, 0);

    std::atomic<bool> stop{false};
    std::atomic<long> steps{0};
    std::thread simulation([&] {
        while (!stop.load()) {
            StepSimulatedPoint(doc, point);
            steps.fetch_add(1);
            std::this_thread::yield();
        }
    });

    QProcess reader;
    reader.start(kPython, {"-c", kReader, QString::number(port), "10000"});
    const bool finished = reader.waitForStarted(30000) && reader.waitForFinished(600000);
    stop.store(true);
    simulation.join();
    engine.CloseConnection(server);
    ASSERT_TRUE(finished) << reader.readAllStandardError().toStdString();
    ASSERT_EQ(reader.exitCode(), 0) << reader.readAllStandardError().toStdString();

    long lowSeen = 0, highSeen = 0, torn = 0, errors = -1;
    for (const QByteArray& line : reader.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(' ');
        if (f.size() == 2 && f[0] == "errors")
            errors = f[1].toLong();
        if (f.size() != 4 || f[0] != "pair")
            continue;
        const std::uint32_t bits = f[1].toUInt() | (f[2].toUInt() << 16);
        const long n = f[3].toLong();
        if (bits == low)
            lowSeen += n;
        else if (bits == high)
            highSeen += n;
        else
            torn += n;
    }
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(lowSeen + highSeen, 10000);
    // Both values were on the wire, so the reads did overlap the stepping.
    EXPECT_GT(lowSeen, 0);
    EXPECT_GT(highSeen, 0);
    EXPECT_GT(steps.load(), 1);
}

// Every method the program serves has its row in the reference page (docs/automation.md) and its
// line, with as many parameters, in `kelvaro64-ctl call --help`.
#include "app/CKelvaro32App.h"
#include "automation/AutomationServer.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The help line of `name`: "    NAME   [a, b]" gives the text between the brackets; nullopt
/// when no line starts with the name.
std::optional<std::string> HelpParams(const std::string& help, const std::string& name) {
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        const auto open = line.find('['), close = line.rfind(']');
        if (first == name && open != std::string::npos && close != std::string::npos && open < close)
            return line.substr(open + 1, close - open - 1);
    }
    return std::nullopt;
}

std::size_t ParamCount(const std::string& list) {
    if (list.find_first_not_of(' ') == std::string::npos)
        return 0;
    return static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1;
}

TEST(AutomationMethods, EveryServedMethodIsInTheReferenceAndTheClientHelp) {
    // The methods of the program itself, as its automation port serves them.
    QTemporaryDir dir;
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    AppOptions o;
    o.settingsFolder = dir.path().toStdString() + "/Orvane";
    o.executablePath = dir.path().toStdString() + "/kelvaro64";
    o.automationPort = probe.serverPort();
    probe.close();
    CKelvaro32App app(o);
    ASSERT_TRUE(app.InitInstance({}));
    ASSERT_NE(app.Automation(), nullptr);
    const MethodRegistry& methods = app.Automation()->Methods();

    const std::string reference = ReadFile(KELVARO_SOURCE_DIR "/docs/automation.md");
    ASSERT_FALSE(reference.empty());
    QProcess ctl;
    ctl.start("/usr/bin/python3", {KELVARO_SOURCE_DIR "/tools/kelvaro64-ctl", "call", "--help"});
    ASSERT_TRUE(ctl.waitForFinished(60000));
    ASSERT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
    const std::string help = ctl.readAllStandardOutput().toStdString();

    std::set<std::string> families;
    for (const AutomationMethod& m : methods.Methods()) {
        families.insert(m.family);
        EXPECT_NE(reference.find("| `" + m.name + "` |"), std::string::npos)
            << m.name << " has no row in docs/automation.md";
        const std::optional<std::string> params = HelpParams(help, m.name);
        EXPECT_TRUE(params) << m.name << " is not in kelvaro64-ctl call --help";
        if (params) {
            EXPECT_EQ(ParamCount(*params), m.params.size()) << m.name << ": [" << *params << "]";
        }
    }
    EXPECT_EQ(families, (std::set<std::string>{"document", "faults", "behaviour", "servers", "capture", "stats"}));
    app.Shutdown();
}

}  // namespace

// Tools > Fault Injection on the offscreen platform: the table follows the list, edits reach the
// engine, scenarios are loaded and saved, and the menu sits before Help in both menu sets.
#include "TestApp.h"

#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "engine/ProtocolEngine.h"
#include "faults/FaultBook.h"
#include "faults/FaultDialog.h"
#include "faults/FaultScenario.h"

#include <nlohmann/json.hpp>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>

using namespace faults;

namespace {

pomrel::FaultRule Parse(const char* text)
{
    std::string error;
    auto rule = ParseFaultRuleText(text, error);
    EXPECT_TRUE(rule) << error;
    return *rule;
}

QString Cell(const FaultDialog& dlg, int row, int column) { return dlg.Table()->item(row, column)->text(); }

} // namespace

TEST(FaultDialog, AddEditEnableRemoveReachTheEngine)
{
    pomrel::ProtocolEngine engine;
    FaultBook book(engine);
    FaultDialog dlg(book);
    dlg.editRule = [](const FaultForm&) {
        return std::optional(Parse(R"({"name": "busy", "unit": 1, "functions": [3], "first": 100, "last": 110,
                                      "action": "exception", "code": 6, "after": 2})"));
    };
    dlg.findChild<QPushButton*>("add")->click();
    ASSERT_EQ(dlg.Table()->rowCount(), 1);
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kName), "busy");
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kAddresses), "100-110");
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kAction), "exception 6");
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kTrigger), "after 2");
    ASSERT_NE(engine.FaultRulesInForce(), nullptr);
    EXPECT_EQ(engine.FaultRulesInForce()->Rules()[0].exceptionCode, 6);

    // Counters come in while the dialog is open.
    const std::uint8_t pdu[] = {3, 0, 99, 0, 1};
    engine.FaultRulesInForce()->Decide(pomrel::DescribeRequest({}, 1, pdu, sizeof pdu), pomrel::FaultSet::Clock::now());
    dlg.Refresh();
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kMatched), "1");
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kFired), "0");

    dlg.Table()->item(0, FaultDialog::kEnabled)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(engine.FaultRulesInForce()->Rules()[0].enabled);

    dlg.Table()->selectRow(0);
    dlg.editRule = [](const FaultForm& form) {
        EXPECT_EQ(form.text[FaultForm::kName], "busy");
        EXPECT_FALSE(form.enabled);
        return std::optional(Parse(R"({"name": "silent", "action": "no-reply"})"));
    };
    dlg.findChild<QPushButton*>("edit")->click();
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kName), "silent");
    EXPECT_EQ(Cell(dlg, 0, FaultDialog::kMatched), "1");   // an edit keeps the rule's counts

    dlg.findChild<QPushButton*>("duplicate")->click();
    ASSERT_EQ(dlg.Table()->rowCount(), 2);
    EXPECT_EQ(Cell(dlg, 1, FaultDialog::kName), "silent (copy)");
    dlg.findChild<QPushButton*>("remove")->click();
    dlg.Table()->selectRow(0);
    dlg.findChild<QPushButton*>("remove")->click();
    EXPECT_EQ(dlg.Table()->rowCount(), 0);
    EXPECT_EQ(engine.FaultRulesInForce(), nullptr);
}

TEST(FaultDialog, SaveAsAndLoadGoThroughTheProgramsFiles)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("scenario.json");
    pomrel::ProtocolEngine engine;
    FaultBook book(engine);
    book.Add(Parse(R"({"name": "slow line", "link": "serial:3", "action": "delay", "delay_ms": 250,
                       "probability": 0.3, "seed": 7})"));
    FaultDialog dlg(book);
    dlg.askFileName = [&](bool) { return path; };
    std::vector<pomrel::FaultRule> saved;
    dlg.saveScenario = [&](const std::string& to, const std::vector<pomrel::FaultRule>& rules, std::string&) {
        EXPECT_EQ(to, path.toStdString());
        saved = rules;
        return true;
    };
    dlg.findChild<QPushButton*>("saveAs")->click();

    pomrel::ProtocolEngine other;
    FaultBook loaded(other);
    FaultDialog second(loaded);
    second.askFileName = [&](bool) { return path; };
    second.loadScenario = [&](const std::string&, std::string&) {
        loaded.Replace(saved);
        return true;
    };
    second.findChild<QPushButton*>("load")->click();
    ASSERT_EQ(second.Table()->rowCount(), 1);
    EXPECT_EQ(FaultListToJson(loaded.Rules()), FaultListToJson(book.Rules()));
}

TEST(FaultDialog, ToolsComesBeforeHelpInBothMenuSetsAndOpensTheDialog)
{
    QTemporaryDir dir;
    auto app = std::make_unique<CKelvaro32App>(TestAppOptions(dir.path().toStdString()));
    ASSERT_TRUE(app->InitInstance({}));
    for (int menu : {128, 129}) {
        if (menu == 129)
            app->NewDocument();
        ASSERT_EQ(app->mainFrame->CurrentMenuId(), menu);
        QStringList titles;
        for (QAction* a : app->mainFrame->menuBar()->actions())
            titles << a->text();
        const auto tools = titles.indexOf("&Tools");
        ASSERT_GE(tools, 0) << menu;
        EXPECT_EQ(titles.value(tools + 1), "&Help") << menu;
    }
    EXPECT_NE(app->mainFrame->Action(cmd::ToolsFaultInjection), nullptr);
}

// The rule editor enables the fields of its action only: a new rule (delay 100 ms filled in)
// turned into no-reply is taken, not refused for the delay it no longer asks for.
TEST(FaultRuleDialog, EnablesOnlyTheFieldsOfItsAction)
{
    FaultForm fresh;
    fresh.text[FaultForm::kAction] = "delay";
    fresh.text[FaultForm::kDelayMs] = "100";
    FaultRuleDialog dlg(fresh);
    const char* const actions[] = {"delay", "no-reply", "exception", "bad-checksum", "wrong-unit",
                                   "truncate", "split", "junk", "close"};
    for (const char* action : actions) {
        dlg.ActionBox()->setCurrentIndex(dlg.ActionBox()->findData(action));
        for (int field = 0; field < FaultForm::kFieldCount; ++field)
            EXPECT_EQ(dlg.Control(field)->isEnabled(), FaultForm::FieldUsed(field, action)) << action << " " << field;
    }
    EXPECT_FALSE(FaultForm::FieldUsed(FaultForm::kDelayMs, "no-reply"));
    EXPECT_TRUE(FaultForm::FieldUsed(FaultForm::kCode, "exception"));

    dlg.ActionBox()->setCurrentIndex(dlg.ActionBox()->findData("no-reply"));
    EXPECT_FALSE(dlg.Field(FaultForm::kDelayMs)->isEnabled());
    EXPECT_EQ(dlg.Field(FaultForm::kDelayMs)->text(), "100");
    QString refused;   // a refusal's box is answered, so the test fails instead of waiting
    QTimer::singleShot(0, &dlg, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            refused = box->text();
            box->accept();
        }
    });
    dlg.accept();
    EXPECT_EQ(refused, QString());
    ASSERT_TRUE(dlg.Rule());
    EXPECT_EQ(dlg.Rule()->action, pomrel::FaultAction::NoReply);
    EXPECT_EQ(dlg.Rule()->delayMs, 0u);
}

// Link, point type and exception code are named choices; addresses count from 1 and the first
// rule that fires wins, as the editor says.
TEST(FaultRuleDialog, OffersNamedChoicesAndSaysHowRulesAreRead)
{
    FaultForm form;
    form.text[FaultForm::kAction] = "exception";
    FaultRuleDialog dlg(form, {"tcp", "serial:3"});
    QStringList links;
    for (int i = 0; i < dlg.Choice(FaultForm::kLink)->count(); ++i)
        links << dlg.Choice(FaultForm::kLink)->itemData(i).toString();
    EXPECT_EQ(links, QStringList({"any", "tcp", "serial:3"}));
    QStringList types;
    for (int i = 0; i < dlg.Choice(FaultForm::kType)->count(); ++i)
        types << dlg.Choice(FaultForm::kType)->itemText(i);
    EXPECT_EQ(types, QStringList({"Any", "Coils", "Inputs", "Holding registers", "Input registers"}));
    QComboBox* code = dlg.Choice(FaultForm::kCode);
    EXPECT_EQ(code->itemText(0), "01 Illegal Function");
    EXPECT_EQ(code->itemText(code->count() - 1), "0B Gateway Target Device Failed to Respond");

    dlg.Choice(FaultForm::kLink)->setCurrentIndex(2);
    dlg.Choice(FaultForm::kType)->setCurrentText("Holding registers");
    code->setCurrentIndex(code->count() - 1);
    dlg.Field(FaultForm::kFirst)->setText("1");
    dlg.Field(FaultForm::kLast)->setText("10");
    dlg.accept();
    ASSERT_TRUE(dlg.Rule());
    EXPECT_EQ(dlg.Rule()->link, "serial:3");
    EXPECT_EQ(dlg.Rule()->pointType, 3);
    EXPECT_EQ(dlg.Rule()->exceptionCode, 0x0B);
    EXPECT_EQ(dlg.Rule()->first, 1u);

    // Another code, typed in; a rule's own values come back as their names.
    code->setEditText("12");
    dlg.accept();
    ASSERT_TRUE(dlg.Rule());
    EXPECT_EQ(dlg.Rule()->exceptionCode, 12);
    FaultRuleDialog again(FormFromRule(*dlg.Rule()), {});
    EXPECT_EQ(again.Choice(FaultForm::kType)->currentText(), "Holding registers");
    EXPECT_EQ(again.Choice(FaultForm::kLink)->currentText(), "serial:3");   // not open now: kept as it is

    const QString note = dlg.findChild<QLabel*>("note")->text();
    EXPECT_TRUE(note.contains("count from 1"));
    EXPECT_TRUE(note.contains("first in the list that fires"));
}

// A refusal names the field by the label the user sees, not the file's key.
TEST(FaultRuleDialog, RefusalNamesTheFieldsLabel)
{
    FaultForm form;
    form.text[FaultForm::kAction] = "delay";
    form.text[FaultForm::kDelayMs] = "700000";
    FaultRuleDialog dlg(form);
    QString said;
    QTimer::singleShot(0, &dlg, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            said = box->text();
            box->accept();
        }
    });
    dlg.accept();
    EXPECT_FALSE(dlg.Rule());
    EXPECT_EQ(said, "Delay (ms): must be 0 to 600000");
}

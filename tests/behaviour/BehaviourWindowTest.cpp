// Tools > Behaviour on the offscreen platform: what is added, edited, enabled and removed through
// the window reaches the running generators; the editor refuses by field; files load and save.
#include "BehaviourTestDocs.h"

#include "behaviour/BehaviourWindow.h"

#include <nlohmann/json.hpp>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace behaviour;

namespace {

GeneratorSpec Parse(const char* text)
{
    std::string error;
    auto g = ParseGenerator(nlohmann::json::parse(text), "", error);
    EXPECT_TRUE(g) << error;
    return g ? *g : GeneratorSpec{};
}

QString Cell(const BehaviourWindow& w, int row, int column) { return w.Generators()->item(row, column)->text(); }

void Click(QWidget& w, const char* name) { w.findChild<QPushButton*>(name)->click(); }

std::string ReadText(const QString& path)
{
    std::ifstream in(path.toStdString());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(BehaviourWindow, AddEditEnableDuplicateRemoveReachTheRunningGenerators)
{
    BehaviourBench bench;
    bench.Add(1, 3, 1, 100);
    BehaviourWindow w(bench.book);
    std::vector<QString> told;
    w.tell = [&](const QString& text) { told.push_back(text); };

    w.editGenerator = [](const GeneratorForm&) {
        return std::optional(Parse(R"({"name": "level", "unit": 1, "type": 3, "address": 10, "value": "float32",
                                       "kind": "sine", "min": 0, "max": 100, "period_ms": 1000, "update_ms": 100})"));
    };
    Click(w, "add");
    auto gens = bench.book.Generators();
    ASSERT_EQ(gens.size(), 1u);
    EXPECT_EQ(gens[0].spec.name, "level");
    ASSERT_EQ(w.Generators()->rowCount(), 1);
    EXPECT_EQ(Cell(w, 0, BehaviourWindow::kName), "level");
    EXPECT_EQ(Cell(w, 0, BehaviourWindow::kPoint), "unit 1 holding 10");
    EXPECT_EQ(Cell(w, 0, BehaviourWindow::kKind), "sine");
    EXPECT_EQ(w.SelectedGenerator(), gens[0].id);
    EXPECT_TRUE(bench.book.Drives(1, 3, 11));

    // Edit: the editor is handed the generator as it is, and what it answers replaces it.
    const std::uint64_t id = gens[0].id;
    GeneratorForm shown;
    w.editGenerator = [&](const GeneratorForm& form) {
        shown = form;
        GeneratorSpec g = Parse(R"({"name": "level", "unit": 1, "type": 3, "address": 10, "value": "float32",
                                    "kind": "ramp", "min": 5, "max": 50, "period_ms": 2000, "update_ms": 100})");
        return std::optional(g);
    };
    Click(w, "edit");
    EXPECT_EQ(shown.text[GeneratorForm::kKind], "sine");
    EXPECT_EQ(shown.text[GeneratorForm::kMax], "100");
    gens = bench.book.Generators();
    ASSERT_EQ(gens.size(), 1u);
    EXPECT_EQ(gens[0].spec.kind, Kind::Ramp);
    EXPECT_EQ(gens[0].spec.max, 50.0);
    EXPECT_EQ(Cell(w, 0, BehaviourWindow::kKind), "ramp");

    // Enabled: the check box switches the running generator off and on.
    w.Generators()->item(0, BehaviourWindow::kEnabled)->setCheckState(Qt::Unchecked);
    EXPECT_FALSE(bench.book.Generators()[0].spec.enabled);
    EXPECT_FALSE(bench.book.Drives(1, 3, 10));
    w.Generators()->item(0, BehaviourWindow::kEnabled)->setCheckState(Qt::Checked);
    EXPECT_TRUE(bench.book.Generators()[0].spec.enabled);
    EXPECT_TRUE(bench.book.Drives(1, 3, 10));

    w.SelectGenerator(bench.book.Generators()[0].id);
    Click(w, "duplicate");
    gens = bench.book.Generators();
    ASSERT_EQ(gens.size(), 2u);
    EXPECT_EQ(gens[1].spec.name, "level (copy)");
    EXPECT_EQ(w.Generators()->rowCount(), 2);
    EXPECT_EQ(w.SelectedGenerator(), gens[1].id);

    Click(w, "remove");
    gens = bench.book.Generators();
    ASSERT_EQ(gens.size(), 1u);
    EXPECT_EQ(gens[0].spec.name, "level");
    EXPECT_EQ(w.Generators()->rowCount(), 1);
    EXPECT_TRUE(told.empty()) << told.front().toStdString();
    (void)id;
}

// A point no open window serves is the book's refusal: told, naming the point, and nothing added.
TEST(BehaviourWindow, APointNotServedIsToldAndNothingAdded)
{
    BehaviourBench bench;
    bench.Add(1, 3, 1, 10);
    BehaviourWindow w(bench.book);
    std::vector<QString> told;
    w.tell = [&](const QString& text) { told.push_back(text); };
    w.editGenerator = [](const GeneratorForm&) {
        return std::optional(Parse(R"({"name": "far", "unit": 1, "type": 3, "address": 500, "kind": "counter"})"));
    };
    Click(w, "add");
    EXPECT_TRUE(bench.book.Generators().empty());
    EXPECT_EQ(w.Generators()->rowCount(), 0);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].contains("far")) << told[0].toStdString();
    EXPECT_TRUE(told[0].contains("500")) << told[0].toStdString();
}

// Value now and Updates follow the running generator on the window's tick.
TEST(BehaviourWindow, TheTickShowsEachGeneratorsValueAndUpdates)
{
    BehaviourBench bench;
    auto& doc = bench.Add(1, 3, 1, 100);
    BehaviourWindow w(bench.book);
    std::string error;
    ASSERT_TRUE(bench.book.AddGenerator(
        Parse(R"({"name": "count", "unit": 1, "type": 3, "address": 3, "kind": "counter", "step": 7, "min": 0,
                  "max": 1000, "update_ms": 3600000})"),
        error))
        << error;
    w.Refresh();
    ASSERT_EQ(w.Generators()->rowCount(), 1);
    // An hour between updates: after this pass nothing writes while the test reads.
    bench.book.Runner().RunDue(SystemClock().SteadyNs() + 3'600'000'000'000);
    w.Refresh();
    const auto g = bench.book.Generators()[0];
    ASSERT_GT(g.updates, 0u);
    EXPECT_EQ(Cell(w, 0, BehaviourWindow::kUpdates), QString::number(g.updates));
    EXPECT_EQ(Cell(w, 0, BehaviourWindow::kValueNow), QString::number(doc.Word(2)));
    EXPECT_NE(Cell(w, 0, BehaviourWindow::kValueNow), QString());
}

// The real editor: choices enable the fields of the kind only, OK with a refused field shows
// the label's message, keeps the dialog open, and puts the focus on the field.
TEST(GeneratorDialog, RefusesByFieldAndEnablesTheKindsFields)
{
    GeneratorDialog dlg(FormForPoint(1, 3, 10));
    dlg.show();
    auto* kind = dlg.Choice(GeneratorForm::kKind);
    kind->setCurrentIndex(kind->findData("counter"));
    EXPECT_FALSE(dlg.Control(GeneratorForm::kPeriodMs)->isEnabled());
    EXPECT_TRUE(dlg.Control(GeneratorForm::kStep)->isEnabled());
    EXPECT_FALSE(dlg.Control(GeneratorForm::kSwapped)->isEnabled());
    auto* value = dlg.Choice(GeneratorForm::kValue);
    value->setCurrentIndex(value->findData("int32"));
    EXPECT_TRUE(dlg.Control(GeneratorForm::kSwapped)->isEnabled());

    dlg.Field(GeneratorForm::kMin)->setText("10");
    dlg.Field(GeneratorForm::kMax)->setText("5");
    QString refused;
    QTimer::singleShot(0, &dlg, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            refused = box->text();
            box->accept();
        }
    });
    dlg.accept();
    EXPECT_TRUE(refused.startsWith("Max: must not be below min")) << refused.toStdString();
    EXPECT_FALSE(dlg.Spec());
    EXPECT_EQ(dlg.focusWidget(), dlg.Field(GeneratorForm::kMax));

    dlg.Field(GeneratorForm::kMax)->setText("500");
    dlg.Field(GeneratorForm::kStep)->setText("3");
    dlg.Flag(GeneratorForm::kSwapped)->setChecked(true);
    dlg.accept();
    ASSERT_TRUE(dlg.Spec());
    EXPECT_EQ(dlg.Spec()->kind, Kind::Counter);
    EXPECT_EQ(dlg.Spec()->value, Encoding::Int32);
    EXPECT_TRUE(dlg.Spec()->swapped);
    EXPECT_EQ(dlg.Spec()->step, 3.0);
    EXPECT_EQ(dlg.Spec()->max, 500.0);
    EXPECT_EQ(dlg.Spec()->periodMs, 0u);
}

// Save As writes what is in force; Load puts a file in force in place of it, and a file without
// behaviour keys (or one refused) leaves what is in force alone.
TEST(BehaviourWindow, SaveAsThenLoadPutsTheSameGeneratorsInForce)
{
    BehaviourBench bench;
    bench.Add(1, 3, 1, 100);
    BehaviourWindow w(bench.book);
    std::vector<QString> told;
    w.tell = [&](const QString& text) { told.push_back(text); };
    std::string error;
    const GeneratorSpec a = Parse(R"({"name": "a", "unit": 1, "type": 3, "address": 1, "value": "uint32",
                                      "swapped": true, "kind": "counter", "step": 7})");
    const GeneratorSpec b = Parse(R"({"name": "b", "unit": 1, "type": 3, "address": 9, "kind": "steps",
                                      "values": [1, 2], "durations_ms": [100, 200], "enabled": false})");
    ASSERT_TRUE(bench.book.AddGenerator(a, error)) << error;
    ASSERT_TRUE(bench.book.AddGenerator(b, error)) << error;

    QTemporaryDir dir;
    QString file = dir.filePath("saved.json");
    w.askFileName = [&](bool) { return file; };
    Click(w, "saveAs");
    const auto saved = nlohmann::json::parse(ReadText(file));
    EXPECT_EQ(saved["generators"], GeneratorListToJson({a, b}));

    bench.book.Clear();
    Click(w, "load");
    auto gens = bench.book.Generators();
    ASSERT_EQ(gens.size(), 2u);
    EXPECT_EQ(GeneratorToJson(gens[0].spec), GeneratorToJson(a));
    EXPECT_EQ(GeneratorToJson(gens[1].spec), GeneratorToJson(b));
    EXPECT_EQ(w.Generators()->rowCount(), 2);
    EXPECT_TRUE(told.empty());

    for (const char* text : {R"({"faults": []})", R"({"generators": [{"unit": 1, "type": 3, "address": 1, "kind": "sine"}]})",
                             "not json", R"({"generators": [], "generators": []})"}) {
        file = dir.filePath("other.json");
        std::ofstream(file.toStdString()) << text;
        told.clear();
        Click(w, "load");
        EXPECT_EQ(bench.book.Generators().size(), 2u) << text;
        EXPECT_EQ(told.size(), 1u) << text;
    }
    EXPECT_TRUE(told.back().contains("twice")) << told.back().toStdString();
}

TEST(BehaviourWindow, TrendSendsTheSelectedGeneratorsPoint)
{
    BehaviourBench bench;
    bench.Add(2, 4, 100, 100);
    BehaviourWindow w(bench.book);
    std::string error;
    ASSERT_TRUE(bench.book.AddGenerator(Parse(R"({"unit": 2, "type": 4, "address": 120, "value": "float64",
                                                  "swapped": true, "kind": "clock"})"),
                                        error))
        << error;
    w.Refresh();
    std::vector<TrendPoint> sent;
    w.trendPoint = [&](const TrendPoint& p) { sent.push_back(p); };
    w.SelectGenerator(bench.book.Generators()[0].id);
    Click(w, "trend");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (TrendPoint{2, 4, 120, Encoding::Float64, true}));
}

// A csv file named relative to the loaded file is still found from a file saved elsewhere.
TEST(BehaviourWindow, SaveAsElsewhereKeepsCsvFilesFound)
{
    BehaviourBench bench;
    bench.Add(1, 3, 1, 100);
    BehaviourWindow w(bench.book);
    std::vector<QString> told;
    w.tell = [&](const QString& text) { told.push_back(text); };
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("a/data") && QDir(dir.path()).mkpath("b/c"));
    std::ofstream(dir.filePath("a/data/level.csv").toStdString()) << "0,5\n1000,7\n";
    std::ofstream(dir.filePath("a/setup.json").toStdString())
        << R"({"generators": [{"unit": 1, "type": 3, "address": 4, "kind": "csv", "file": "data/level.csv"}]})";
    QString file = dir.filePath("a/setup.json");
    w.askFileName = [&](bool) { return file; };
    Click(w, "load");
    ASSERT_EQ(bench.book.Generators().size(), 1u) << (told.empty() ? "" : told[0].toStdString());

    file = dir.filePath("b/c/moved.json");
    Click(w, "saveAs");
    EXPECT_EQ(nlohmann::json::parse(ReadText(file))["generators"][0]["file"], "../../a/data/level.csv");
    bench.book.Clear();
    Click(w, "load");
    const auto gens = bench.book.Generators();
    ASSERT_EQ(gens.size(), 1u);
    ASSERT_TRUE(gens[0].spec.rows);
    EXPECT_EQ(gens[0].spec.rows->size(), 2u);
    EXPECT_TRUE(told.empty()) << told.front().toStdString();
}

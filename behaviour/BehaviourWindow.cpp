#include "behaviour/BehaviourWindow.h"

#include "dialogs/DialogKit.h"
#include "document/FileAccess.h"
#include "document/StrictJson.h"

#include <nlohmann/json.hpp>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <charconv>
#include <cmath>
#include <filesystem>

namespace behaviour {

namespace {

const char* const kBehaviourFilter = "Behaviour (*.json);;All Files (*)";

QString Text(const std::string& s) { return QString::fromStdString(s); }

QTableWidget* MakeTable(QWidget* parent, const char* name, const QStringList& headers, const char* help)
{
    auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
    table->setObjectName(name);
    table->setHorizontalHeaderLabels(headers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setStretchLastSection(true);
    table->verticalHeader()->hide();
    table->setWhatsThis(help);
    return table;
}

std::uint64_t RowId(const QTableWidget* table, int row)
{
    const QTableWidgetItem* item = table->item(row, 0);
    return item ? item->data(Qt::UserRole).toULongLong() : 0;
}

std::uint64_t SelectedId(const QTableWidget* table)
{
    const auto rows = table->selectionModel() ? table->selectionModel()->selectedRows() : QModelIndexList{};
    return rows.isEmpty() ? 0 : RowId(table, rows.front().row());
}

QString ValueText(double v)
{
    char buf[32];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 7);
    return ec == std::errc() ? QString::fromLatin1(buf, static_cast<int>(p - buf)) : QString();
}

struct TypeChoice {
    const char* value;
    const char* shown;
};
constexpr TypeChoice kTypes[] = {{"1", "1 Coils"}, {"2", "2 Inputs"}, {"3", "3 Holding registers"}, {"4", "4 Input registers"}};
constexpr const char* kValues[] = {"bit", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float32", "float64"};
constexpr const char* kKinds[] = {"sine", "triangle", "ramp", "square", "random", "random-walk",
                                  "counter", "steps", "clock", "csv"};

} // namespace

// ---- One generator --------------------------------------------------------------------------------

GeneratorDialog::GeneratorDialog(const GeneratorForm& form, std::string baseDir, QWidget* parent)
    : QDialog(parent), baseDir_(std::move(baseDir))
{
    using F = GeneratorForm;
    setObjectName("generator");
    setWindowTitle("Generator");
    auto* layout = new QVBoxLayout(this);
    auto* rows = new QFormLayout;
    for (int i = 0; i < F::kFieldCount; ++i) {
        const auto at = static_cast<std::size_t>(i);
        QWidget* control = nullptr;
        if (i == F::kSwapped || i == F::kLoop || i == F::kEnabled) {
            auto* box = new QCheckBox(this);
            box->setChecked(i == F::kSwapped ? form.swapped : i == F::kLoop ? form.loop : form.enabled);
            flags_[at] = box;
            control = box;
        } else if (i == F::kType || i == F::kValue || i == F::kKind) {
            auto* box = new QComboBox(this);
            if (i == F::kType)
                for (const TypeChoice& c : kTypes)
                    box->addItem(c.shown, QString(c.value));
            else
                for (const char* name : i == F::kValue ? std::vector<const char*>(std::begin(kValues), std::end(kValues))
                                                       : std::vector<const char*>(std::begin(kKinds), std::end(kKinds)))
                    box->addItem(name, QString(name));
            const int index = box->findData(Text(form.text[at]));
            box->setCurrentIndex(index >= 0 ? index : 0);
            choices_[at] = box;
            control = box;
        } else {
            auto* edit = new QLineEdit(Text(form.text[at]), this);
            edit->setPlaceholderText(F::FieldHint(i));
            fields_[at] = edit;
            control = edit;
        }
        control->setObjectName(F::FieldName(i));
        control->setWhatsThis(F::FieldHelp(i));
        rows->addRow(F::FieldLabel(i), control);
    }
    layout->addLayout(rows);
    auto* note = new QLabel("Addresses count from 1, as the data windows count them. The point must be served by an "
                            "open data window; a master's write to it stays until the next update.",
                            this);
    note->setObjectName("note");
    note->setWordWrap(true);
    layout->addWidget(note);
    dialogkit::AddOkCancelBox(this, layout);
    for (int i : {F::kType, F::kValue, F::kKind})
        connect(Choice(i), &QComboBox::currentIndexChanged, this, &GeneratorDialog::UpdateFields);
    UpdateFields();
}

QWidget* GeneratorDialog::Control(int field) const
{
    if (Field(field))
        return Field(field);
    if (Choice(field))
        return Choice(field);
    return Flag(field);
}

void GeneratorDialog::UpdateFields()
{
    using F = GeneratorForm;
    const GeneratorForm form = Form();
    auto* rows = findChild<QFormLayout*>();
    for (int i = 0; i < F::kFieldCount; ++i) {
        const bool used = F::FieldUsed(i, form.text[F::kKind], form.text[F::kValue]);
        Control(i)->setEnabled(used);
        if (QWidget* label = rows ? rows->labelForField(Control(i)) : nullptr)
            label->setEnabled(used);
    }
}

GeneratorForm GeneratorDialog::Form() const
{
    using F = GeneratorForm;
    GeneratorForm form;
    for (int i = 0; i < F::kFieldCount; ++i) {
        const auto at = static_cast<std::size_t>(i);
        if (Field(i))
            form.text[at] = Field(i)->text().toStdString();
        else if (Choice(i))
            form.text[at] = Choice(i)->currentData().toString().toStdString();
    }
    form.swapped = Flag(F::kSwapped)->isChecked();
    form.loop = Flag(F::kLoop)->isChecked();
    form.enabled = Flag(F::kEnabled)->isChecked();
    return form;
}

void GeneratorDialog::accept()
{
    std::string error;
    int field = -1;
    spec_ = SpecFromForm(Form(), baseDir_, error, &field);
    if (!spec_) {
        dialogkit::ShowFieldError(this, field >= 0 ? Control(field) : nullptr, Text(error));
        return;
    }
    QDialog::accept();
}

// ---- One reaction ---------------------------------------------------------------------------------

ReactionDialog::ReactionDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName("reaction");
    setWindowTitle("Reaction");
    static const char* const kNames[kFieldCount] = {"name", "unit", "type", "address", "equals", "action",
                                                    "target_unit", "target_type", "target_address", "value", "after_ms"};
    static const char* const kLabels[kFieldCount] = {"Name", "Unit", "Point type", "Address", "Equals", "Action",
                                                     "Target unit", "Target point type", "Target address", "Value",
                                                     "After (ms)"};
    static const char* const kDefaults[kFieldCount] = {"", "1", "3", "1", "", "", "1", "3", "2", "", "0"};
    static const char* const kHelp[kFieldCount] = {
        "The reaction's name, shown in the Behaviour window and in refusals.",
        "The unit of the point whose writes are watched.",
        "Its point type: 1 coils, 2 inputs, 3 holding registers, 4 input registers.",
        "Its address, counted from 1 as the data windows count.",
        "Fires only when a master writes this value; empty: any value written.",
        "What happens: copy the written value to the target, set or add a value, toggle it, or clear the "
        "watched point.",
        "The unit of the point the action changes.",
        "Its point type.",
        "Its address, counted from 1.",
        "The value set or added.",
        "How long after the write the action happens, in milliseconds (0 to 3600000)."};
    auto* layout = new QVBoxLayout(this);
    auto* rows = new QFormLayout;
    for (int i = 0; i < kFieldCount; ++i) {
        QWidget* control = nullptr;
        if (i == kAction) {
            action_ = new QComboBox(this);
            for (const char* a : {"copy", "set", "add", "toggle", "clear"})
                action_->addItem(a);
            control = action_;
        } else {
            auto* edit = new QLineEdit(kDefaults[i], this);
            fields_[static_cast<std::size_t>(i)] = edit;
            control = edit;
        }
        control->setObjectName(kNames[i]);
        control->setWhatsThis(kHelp[i]);
        rows->addRow(kLabels[i], control);
    }
    Field(kEquals)->setPlaceholderText("empty: any value written");
    layout->addLayout(rows);
    dialogkit::AddOkCancelBox(this, layout);
}

void ReactionDialog::accept()
{
    static const char* const kLabels[kFieldCount] = {"Name", "Unit", "Point type", "Address", "Equals", "Action",
                                                     "Target unit", "Target point type", "Target address", "Value",
                                                     "After (ms)"};
    ReactionSpec r;
    auto number = [&](int field, double& out) {
        const std::string s = Field(field)->text().trimmed().toStdString();
        const char* end = s.data() + s.size();
        auto [p, ec] = std::from_chars(s.data(), end, out);
        if (s.empty() || ec != std::errc() || p != end || !std::isfinite(out)) {
            dialogkit::ShowFieldError(this, Field(field), QString("%1: must be a number").arg(kLabels[field]));
            return false;
        }
        return true;
    };
    auto whole = [&](int field, double low, double high, auto& out) {
        double v = 0;
        if (!number(field, v))
            return false;
        if (v != std::floor(v) || v < low || v > high) {
            dialogkit::ShowFieldError(this, Field(field),
                                      QString("%1: must be a whole number %2 to %3").arg(kLabels[field]).arg(low).arg(high));
            return false;
        }
        out = static_cast<std::remove_reference_t<decltype(out)>>(v);
        return true;
    };
    r.name = Field(kName)->text().toStdString();
    if (!whole(kUnit, 1, 255, r.point.unit) || !whole(kType, 1, 4, r.point.type)
        || !whole(kAddress, 1, 65536, r.point.address))
        return;
    if (!Field(kEquals)->text().trimmed().isEmpty()) {
        double v = 0;
        if (!number(kEquals, v))
            return;
        r.equals = v;
    }
    r.action = static_cast<ReactionAction>(action_->currentIndex());
    if (r.action != ReactionAction::Clear) {
        PointRef target;
        if (!whole(kTargetUnit, 1, 255, target.unit) || !whole(kTargetType, 1, 4, target.type)
            || !whole(kTargetAddress, 1, 65536, target.address))
            return;
        r.target = target;
    }
    if (r.action == ReactionAction::Set || r.action == ReactionAction::Add) {
        if (!number(kValue, r.value))
            return;
    }
    if (!whole(kAfterMs, 0, 3'600'000, r.afterMs))
        return;
    r.encoding = r.point.type <= 2 ? Encoding::Bit : Encoding::Uint16;
    spec_ = r;
    QDialog::accept();
}

// ---- The window -----------------------------------------------------------------------------------

BehaviourWindow::BehaviourWindow(BehaviourBook& book, QWidget* parent) : QDialog(parent), book_(book)
{
    setObjectName("behaviour");
    setWindowTitle("Behaviour");
    resize(960, 640);
    auto* layout = new QVBoxLayout(this);
    auto* split = new QSplitter(Qt::Vertical, this);
    layout->addWidget(split);

    auto section = [&](const char* title, QTableWidget* table) {
        auto* box = new QWidget(split);
        auto* v = new QVBoxLayout(box);
        v->setContentsMargins(0, 0, 0, 0);
        v->addWidget(new QLabel(title, box));
        if (table) {
            table->setParent(box);
            v->addWidget(table);
        }
        auto* buttons = new QHBoxLayout;
        v->addLayout(buttons);
        return std::pair(box, buttons);
    };
    auto button = [this](QHBoxLayout* row, const char* text, const char* name, const char* help, auto slot) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        b->setWhatsThis(help);
        connect(b, &QPushButton::clicked, this, slot);
        row->addWidget(b);
    };

    generators_ = MakeTable(this, "generators", {"Name", "Point", "Kind", "Value now", "Updates", "Enabled"},
                            "The generators in force: the value each wrote last and how many values it has written "
                            "since it was put in force. Enabled switches one off without removing it.");
    auto [genBox, genButtons] = section("Generators", generators_);
    button(genButtons, "&Add...", "add", "Adds a generator from the generator editor.", [this] { AddGenerator(); });
    button(genButtons, "&Edit...", "edit", "Opens the selected generator in the editor (a double-click does the "
                                           "same); it starts again from its first value.",
           [this] { EditGenerator(); });
    button(genButtons, "D&uplicate", "duplicate", "Adds a copy of the selected generator.",
           [this] { DuplicateGenerator(); });
    button(genButtons, "&Remove", "remove", "Removes the selected generator; its point keeps its last value.",
           [this] { RemoveGenerator(); });
    button(genButtons, "&Trend", "trend", "Plots the selected generator's point in the Trend window.",
           [this] { TrendGenerator(); });
    genButtons->addStretch();
    connect(generators_, &QTableWidget::cellDoubleClicked, this, [this] { EditGenerator(); });
    connect(generators_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (filling_ || item->column() != kEnabled)
            return;
        book_.EnableGenerator(item->data(Qt::UserRole).toULongLong(), item->checkState() == Qt::Checked);
    });

    reactions_ = MakeTable(this, "reactions", {"Name", "Point", "Action", "Target", "Fired"},
                           "The reactions in force and how often each has fired since it was put in force.");
    auto [reactBox, reactButtons] = section("Reactions", reactions_);
    button(reactButtons, "A&dd...", "addReaction", "Adds a reaction to masters' writes of a point.",
           [this] { AddReaction(); });
    button(reactButtons, "Re&move", "removeReaction", "Removes the selected reaction.", [this] { RemoveReaction(); });
    reactButtons->addStretch();

    scripts_ = MakeTable(this, "scripts", {"Name", "State", "Calls", "Last error"},
                         "The scripts in force: running, stopped (ten failing calls in a row) or failed (did not "
                         "load), how many calls each has had, and the last error with its file and line.");
    auto [scriptBox, scriptButtons] = section("Scripts", scripts_);
    button(scriptButtons, "Re&load Scripts", "reload", "Loads every script again from its file; when one does not "
                                                       "load, the scripts in force stay.",
           [this] { ReloadScripts(); });
    scriptButtons->addStretch();

    auto [logBox, logButtons] = section("Log", nullptr);
    log_ = new QPlainTextEdit(logBox);
    log_->setObjectName("log");
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(1000);
    log_->setWhatsThis("What scripts logged and what the behaviour core told (a stopped script, writes dropped).");
    logBox->layout()->addWidget(log_);
    (void)genBox, (void)reactBox, (void)scriptBox, (void)logButtons;

    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    button(bottom, "L&oad...", "load", "Reads a behaviour file (JSON: generators, reactions, scripts) and puts it in "
                                       "force in place of what is in force now.",
           [this] { Load(); });
    button(bottom, "&Save As...", "saveAs", "Writes what is in force as a behaviour file (JSON).", [this] { SaveAs(); });
    button(bottom, "Close", "close", "Closes the window; the behaviour stays in force.", [this] { accept(); });
    layout->addLayout(bottom);

    timer_ = new QTimer(this);
    timer_->setInterval(500);
    connect(timer_, &QTimer::timeout, this, &BehaviourWindow::Refresh);
    Rebuild();
}

void BehaviourWindow::showEvent(QShowEvent* event)
{
    Refresh();
    timer_->start();
    QDialog::showEvent(event);
}

void BehaviourWindow::hideEvent(QHideEvent* event)
{
    timer_->stop();
    QDialog::hideEvent(event);
}

void BehaviourWindow::Tell(const QString& text)
{
    if (tell)
        return tell(text);
    QMessageBox::warning(this, "Kelvaro64", text);
}

void BehaviourWindow::Rebuild()
{
    const std::uint64_t selected = SelectedGenerator();
    filling_ = true;
    const auto gens = book_.Generators();
    generators_->setRowCount(static_cast<int>(gens.size()));
    for (int row = 0; row < static_cast<int>(gens.size()); ++row) {
        const GeneratorStatus& g = gens[static_cast<std::size_t>(row)];
        const QString cells[kGeneratorColumns] = {
            Text(g.spec.name),
            Text(PointText(g.spec.unit, g.spec.type, g.spec.address)),
            KindName(g.spec.kind),
            g.updates ? ValueText(ValueOfWords(g.last, g.spec.value, g.spec.swapped)) : QString(),
            QString::number(g.updates),
            g.attached ? QString() : QString("(window closed)")};
        for (int c = 0; c < kGeneratorColumns; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(g.id));
            if (c == kEnabled) {
                item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
                item->setCheckState(g.spec.enabled ? Qt::Checked : Qt::Unchecked);
            }
            generators_->setItem(row, c, item);
        }
    }
    const auto reactions = book_.Reactions();
    reactions_->setRowCount(static_cast<int>(reactions.size()));
    for (int row = 0; row < static_cast<int>(reactions.size()); ++row) {
        const ReactionStatus& r = reactions[static_cast<std::size_t>(row)];
        const QString cells[kReactionColumns] = {
            Text(r.spec.name), Text(PointText(r.spec.point.unit, r.spec.point.type, r.spec.point.address)),
            ActionName(r.spec.action),
            r.spec.target ? Text(PointText(r.spec.target->unit, r.spec.target->type, r.spec.target->address)) : QString(),
            QString::number(r.fired)};
        for (int c = 0; c < kReactionColumns; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(r.id));
            reactions_->setItem(row, c, item);
        }
    }
    const auto scripts = book_.Scripts();
    scripts_->setRowCount(static_cast<int>(scripts.size()));
    for (int row = 0; row < static_cast<int>(scripts.size()); ++row) {
        const ScriptStatus& s = scripts[static_cast<std::size_t>(row)];
        const QString cells[kScriptColumns] = {Text(s.spec.name), Text(s.state), QString::number(s.calls), Text(s.error)};
        for (int c = 0; c < kScriptColumns; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setData(Qt::UserRole, QVariant::fromValue<qulonglong>(s.id));
            scripts_->setItem(row, c, item);
        }
    }
    filling_ = false;
    SelectGenerator(selected);
}

void BehaviourWindow::Refresh()
{
    // Rebuilding keeps the selection; it is cheap beside a person reading the table. Between
    // rebuilds only the rows in sight change text, so a list of many thousand generators costs
    // the window what a screenful does.
    const auto gens = book_.GeneratorProgressNow();
    bool same = static_cast<int>(gens.size()) == generators_->rowCount();
    for (int row = 0; same && row < generators_->rowCount(); ++row)
        same = RowId(generators_, row) == gens[static_cast<std::size_t>(row)].id
            && generators_->item(row, kEnabled)->checkState() == (gens[static_cast<std::size_t>(row)].enabled ? Qt::Checked : Qt::Unchecked);
    if (!same) {
        Rebuild();
    } else {
        filling_ = true;
        int first = 0;
        int last = generators_->rowCount() - 1;
        if (generators_->isVisible() && generators_->rowAt(0) >= 0) {
            first = generators_->rowAt(0);
            const int bottom = generators_->rowAt(generators_->viewport()->height() - 1);
            if (bottom >= 0)
                last = bottom;
        }
        for (int row = first; row <= last; ++row) {
            const GeneratorProgress& g = gens[static_cast<std::size_t>(row)];
            generators_->item(row, kValueNow)->setText(
                g.updates ? ValueText(ValueOfWords(g.last, g.value, g.swapped)) : QString());
            generators_->item(row, kUpdates)->setText(QString::number(g.updates));
        }
        const auto reactions = book_.Reactions();
        const auto scripts = book_.Scripts();
        if (static_cast<int>(reactions.size()) != reactions_->rowCount()
            || static_cast<int>(scripts.size()) != scripts_->rowCount()) {
            filling_ = false;
            Rebuild();
        } else {
            for (int row = 0; row < reactions_->rowCount(); ++row)
                reactions_->item(row, kReactionFired)->setText(QString::number(reactions[static_cast<std::size_t>(row)].fired));
            for (int row = 0; row < scripts_->rowCount(); ++row) {
                const ScriptStatus& s = scripts[static_cast<std::size_t>(row)];
                scripts_->item(row, kScriptState)->setText(Text(s.state));
                scripts_->item(row, kScriptCalls)->setText(QString::number(s.calls));
                scripts_->item(row, kScriptError)->setText(Text(s.error));
            }
        }
        filling_ = false;
    }
    for (const BehaviourLogLine& line : book_.LogSince(logSeen_)) {
        logSeen_ = line.sequence;
        const QString time = QDateTime::fromMSecsSinceEpoch(line.wallMs).toString("HH:mm:ss.zzz");
        log_->appendPlainText(QString("%1 %2%3").arg(time, line.source.empty() ? QString() : Text(line.source) + ": ",
                                                     Text(line.text)));
    }
}

std::uint64_t BehaviourWindow::SelectedGenerator() const { return SelectedId(generators_); }
std::uint64_t BehaviourWindow::SelectedReaction() const { return SelectedId(reactions_); }

void BehaviourWindow::SelectGenerator(std::uint64_t id)
{
    for (int row = 0; row < generators_->rowCount(); ++row)
        if (RowId(generators_, row) == id)
            return generators_->selectRow(row);
}

std::optional<GeneratorSpec> BehaviourWindow::RunEditor(GeneratorForm form)
{
    if (editGenerator)
        return editGenerator(form);
    GeneratorDialog dlg(form, baseDir_, this);
    // Modal to this window only: the data windows stay usable beside it.
    dlg.setWindowModality(Qt::WindowModal);
    if (dlg.exec() != QDialog::Accepted)
        return std::nullopt;
    return dlg.Spec();
}

void BehaviourWindow::EditUntilTaken(GeneratorForm form, const std::function<bool(GeneratorSpec, std::string&)>& put)
{
    // The book refuses what the editor cannot know (a point no open window serves): say so and
    // open the editor again on what was typed.
    for (;;) {
        auto spec = RunEditor(form);
        if (!spec)
            return;
        std::string error;
        GeneratorSpec kept = *spec;
        if (put(std::move(*spec), error))
            return;
        Tell(Text(error));
        if (editGenerator)
            return;   // a test's editor answers once
        form = FormFromSpec(kept);
    }
}

void BehaviourWindow::AddGenerator() { AddGeneratorFor(FormForPoint(1, 3, 1)); }

void BehaviourWindow::AddGeneratorFor(const GeneratorForm& form)
{
    EditUntilTaken(form, [this](GeneratorSpec spec, std::string& error) {
        const auto id = book_.AddGenerator(std::move(spec), error);
        Rebuild();
        if (id)
            SelectGenerator(*id);
        return id.has_value();
    });
}

void BehaviourWindow::EditGenerator()
{
    const std::uint64_t id = SelectedGenerator();
    for (const GeneratorStatus& g : book_.Generators()) {
        if (g.id != id)
            continue;
        EditUntilTaken(FormFromSpec(g.spec), [this, id](GeneratorSpec spec, std::string& error) {
            const bool ok = book_.ReplaceGenerator(id, std::move(spec), error);
            Rebuild();
            SelectGenerator(id);
            return ok;
        });
        return;
    }
}

void BehaviourWindow::DuplicateGenerator()
{
    const std::uint64_t id = SelectedGenerator();
    for (const GeneratorStatus& g : book_.Generators()) {
        if (g.id != id)
            continue;
        GeneratorSpec copy = g.spec;
        copy.name += " (copy)";
        std::string error;
        const auto added = book_.AddGenerator(std::move(copy), error);
        Rebuild();
        if (added)
            SelectGenerator(*added);
        else
            Tell(Text(error));
        return;
    }
}

void BehaviourWindow::RemoveGenerator()
{
    if (book_.RemoveGenerator(SelectedGenerator()))
        Rebuild();
}

void BehaviourWindow::TrendGenerator()
{
    const std::uint64_t id = SelectedGenerator();
    for (const GeneratorStatus& g : book_.Generators())
        if (g.id == id && trendPoint)
            return trendPoint(TrendPoint{g.spec.unit, g.spec.type, g.spec.address, g.spec.value, g.spec.swapped});
}

void BehaviourWindow::AddReaction()
{
    std::optional<ReactionSpec> spec;
    if (editReaction) {
        spec = editReaction();
    } else {
        ReactionDialog dlg(this);
        dlg.setWindowModality(Qt::WindowModal);
        if (dlg.exec() == QDialog::Accepted)
            spec = dlg.Spec();
    }
    if (!spec)
        return;
    std::string error;
    if (!book_.AddReaction(std::move(*spec), error))
        Tell(Text(error));
    Rebuild();
}

void BehaviourWindow::RemoveReaction()
{
    if (book_.RemoveReaction(SelectedReaction()))
        Rebuild();
}

void BehaviourWindow::ReloadScripts()
{
    std::string error;
    if (!book_.ReloadScripts(error))
        Tell(Text(error));
    Refresh();
}

QString BehaviourWindow::AskFileName(bool save)
{
    if (askFileName)
        return askFileName(save);
    return save ? QFileDialog::getSaveFileName(this, "Save Behaviour", "behaviour.json", kBehaviourFilter)
                : QFileDialog::getOpenFileName(this, "Load Behaviour", QString(), kBehaviourFilter);
}

void BehaviourWindow::Load()
{
    const QString path = AskFileName(false);
    if (path.isEmpty())
        return;
    const std::string file = path.toStdString();
    std::string why;
    const auto bytes = ReadWholeFile(file, 16u << 20, &why);
    if (!bytes)
        return Tell(QString("%1 could not be read: %2").arg(path, Text(why)));
    std::optional<JsonDuplicate> duplicate;
    const nlohmann::json j =
        ParseJsonNoDuplicates(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), duplicate);
    if (j.is_discarded() || !j.is_object())
        return Tell(QString("%1: not a JSON object").arg(path));
    if (duplicate)
        return Tell(QString("%1: \"%2\" given twice").arg(path, Text(duplicate->Path())));
    if (!j.contains("generators") && !j.contains("reactions") && !j.contains("scripts"))
        return Tell(QString("%1 holds no generators, reactions or scripts; the behaviour in force stays.").arg(path));
    const std::string base = std::filesystem::path(file).parent_path().string();
    std::string error;
    auto behaviour = ParseBehaviour(j, base, error);
    if (!behaviour || !book_.PutInForce(std::move(*behaviour), error))
        Tell(QString("%1: %2").arg(path, Text(error)));
    else
        baseDir_ = base;
    Rebuild();
}

void BehaviourWindow::SaveAs()
{
    const QString path = AskFileName(true);
    if (path.isEmpty())
        return;
    // Files named relative to the file loaded last are named relative to the file written.
    namespace fs = std::filesystem;
    const fs::path folder = fs::absolute(fs::path(path.toStdString())).parent_path();
    const fs::path from = fs::absolute(baseDir_.empty() ? fs::path(".") : fs::path(baseDir_));
    auto rebase = [&](std::string& file, const std::string& resolved) {
        if (file.empty() || fs::path(file).is_absolute())
            return;
        const fs::path target = resolved.empty() ? from / file : fs::absolute(fs::path(resolved));
        file = target.lexically_normal().lexically_relative(folder).generic_string();
    };
    Behaviour b = book_.InForce();
    for (GeneratorSpec& g : b.generators)
        rebase(g.file, {});
    for (ScriptSpec& sc : b.scripts)
        rebase(sc.file, sc.path);
    nlohmann::json extras = nlohmann::json::object();
    BehaviourToJson(b, extras);
    const std::string text = extras.dump(2) + "\n";
    std::string why;
    if (!WriteFileAtomically(path.toStdString(), std::vector<std::uint8_t>(text.begin(), text.end()), &why))
        Tell(QString("%1 could not be written: %2").arg(path, Text(why)));
}

} // namespace behaviour

#include "faults/FaultDialog.h"

#include "dialogs/DialogKit.h"
#include "faults/FaultBook.h"
#include "faults/FaultScenario.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace faults {

using pomrel::FaultRule;

namespace {

constexpr const char* kActionNames[] = {"delay", "no-reply", "exception", "bad-checksum", "wrong-unit",
                                        "truncate", "split", "junk", "close"};
const char* const kScenarioFilter = "Fault scenarios (*.json);;All Files (*)";

QString Text(const std::string& s) { return QString::fromStdString(s); }

} // namespace

// ---- One rule -------------------------------------------------------------------------------------

FaultRuleDialog::FaultRuleDialog(const FaultForm& form, const std::vector<std::string>& openLinks, QWidget* parent)
    : QDialog(parent)
{
    setObjectName("faultRule");
    setWindowTitle("Fault Rule");
    choiceLists_[FaultForm::kLink] = LinkChoices(openLinks);
    choiceLists_[FaultForm::kType] = PointTypeChoices();
    choiceLists_[FaultForm::kCode] = ExceptionChoices();
    for (const char* name : kActionNames)
        choiceLists_[FaultForm::kAction].push_back({name, name});

    auto* layout = new QVBoxLayout(this);
    auto* rows = new QFormLayout;
    for (int i = 0; i < FaultForm::kFieldCount; ++i) {
        const auto at = static_cast<std::size_t>(i);
        QWidget* control = nullptr;
        if (!choiceLists_[at].empty()) {
            auto* box = new QComboBox(this);
            // The action is one of the list; the others also take a value typed in (serial:5, 12).
            box->setEditable(i != FaultForm::kAction);
            box->setInsertPolicy(QComboBox::NoInsert);
            for (const FormChoice& c : choiceLists_[at])
                box->addItem(Text(c.shown), Text(c.value));
            std::string value = form.text[at];
            if (i == FaultForm::kAction && value.empty())
                value = "delay";
            if (i == FaultForm::kLink && value.empty())
                value = "any";
            const int index = box->findData(Text(value));
            if (index >= 0)
                box->setCurrentIndex(index);
            else
                box->setCurrentText(Text(value));
            choices_[at] = box;
            control = box;
        } else {
            auto* edit = new QLineEdit(Text(form.text[at]), this);
            edit->setPlaceholderText(FaultForm::FieldHint(i));
            fields_[at] = edit;
            control = edit;
        }
        control->setObjectName(FaultForm::FieldName(i));
        control->setWhatsThis(FaultForm::FieldHelp(i));
        rows->addRow(FaultForm::FieldLabel(i), control);
    }
    enabled_ = new QCheckBox("Enabled", this);
    enabled_->setObjectName("enabled");
    enabled_->setChecked(form.enabled);
    enabled_->setWhatsThis("A rule that is not enabled is kept in the list but never matches.");
    rows->addRow(QString(), enabled_);
    layout->addLayout(rows);
    auto* note = new QLabel("Addresses count from 1, as the data windows count them. When several rules match a "
                            "request, the first in the list that fires decides the answer.",
                            this);
    note->setObjectName("note");
    note->setWordWrap(true);
    layout->addWidget(note);
    dialogkit::AddOkCancelBox(this, layout);
    connect(ActionBox(), &QComboBox::currentIndexChanged, this, &FaultRuleDialog::ActionChanged);
    ActionChanged();
}

QWidget* FaultRuleDialog::Control(int field) const
{
    return Field(field) ? static_cast<QWidget*>(Field(field)) : Choice(field);
}

void FaultRuleDialog::ActionChanged()
{
    const std::string action = ActionBox()->currentData().toString().toStdString();
    auto* rows = findChild<QFormLayout*>();
    for (int i = 0; i < FaultForm::kFieldCount; ++i) {
        const bool used = FaultForm::FieldUsed(i, action);
        Control(i)->setEnabled(used);
        if (QWidget* label = rows ? rows->labelForField(Control(i)) : nullptr)
            label->setEnabled(used);
    }
}

FaultForm FaultRuleDialog::Form() const
{
    FaultForm form;
    for (int i = 0; i < FaultForm::kFieldCount; ++i) {
        const auto at = static_cast<std::size_t>(i);
        form.text[at] = Field(i) ? Field(i)->text().toStdString()
                                 : ChoiceValue(choiceLists_[at], Choice(i)->currentText().toStdString());
    }
    form.enabled = enabled_->isChecked();
    return form;
}

void FaultRuleDialog::accept()
{
    std::string error;
    int field = -1;
    rule_ = RuleFromForm(Form(), error, &field);
    if (!rule_) {
        dialogkit::ShowFieldError(this, field >= 0 ? Control(field) : nullptr, Text(error));
        return;
    }
    QDialog::accept();
}

// ---- The list -------------------------------------------------------------------------------------

FaultDialog::FaultDialog(FaultBook& book, QWidget* parent) : QDialog(parent), book_(book)
{
    setObjectName("faultInjection");
    setWindowTitle("Fault Injection");
    resize(900, 360);
    auto* layout = new QVBoxLayout(this);
    table_ = new QTableWidget(0, kColumns, this);
    table_->setObjectName("faults");
    table_->setHorizontalHeaderLabels(
        {"Name", "Link", "Unit", "Functions", "Addresses", "Action", "Trigger", "Matched", "Fired", "Enabled"});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->verticalHeader()->hide();
    table_->setWhatsThis("The rules in force, in the order they are tried, with what each matches and does. "
                         "Matched and Fired count the requests since the rules were put in force; Enabled "
                         "switches a rule off without removing it.");
    layout->addWidget(table_);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this] { EditRule(); });
    connect(table_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (filling_ || item->column() != kEnabled)
            return;
        book_.Enable(item->data(Qt::UserRole).toUInt(), item->checkState() == Qt::Checked);
    });

    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* text, const char* name, const char* help, auto slot) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        b->setWhatsThis(help);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
    };
    button("&Add...", "add", "Adds a rule at the end of the list, from the rule editor.", [this] { AddRule(); });
    button("&Edit...", "edit", "Opens the selected rule in the rule editor (a double-click does the same); its "
                               "counters stay.", [this] { EditRule(); });
    button("D&uplicate", "duplicate", "Adds a copy of the selected rule at the end of the list.",
           [this] { DuplicateRule(); });
    button("&Remove", "remove", "Removes the selected rule.", [this] { RemoveRule(); });
    button("U&p", "up", "Moves the selected rule one place up: it is tried before the rule above it.",
           [this] { MoveRule(-1); });
    button("Do&wn", "down", "Moves the selected rule one place down.", [this] { MoveRule(1); });
    buttons->addStretch();
    button("&Load...", "load", "Reads a scenario file (JSON) and puts its rules in force in place of these.",
           [this] { LoadScenario(); });
    button("&Save As...", "saveAs", "Writes these rules as a scenario file (JSON).", [this] { SaveScenarioAs(); });
    button("Close", "close", "Closes the window; the rules stay in force.", [this] { accept(); });
    auto* note = new QLabel("Rules are tried from the top: when several match a request, the first that fires "
                            "decides the answer.",
                            this);
    note->setObjectName("note");
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addLayout(buttons);

    timer_ = new QTimer(this);
    timer_->setInterval(1000);
    connect(timer_, &QTimer::timeout, this, &FaultDialog::Refresh);
    timer_->start();
    Rebuild();
}

void FaultDialog::Rebuild()
{
    const std::uint32_t selected = SelectedId();
    filling_ = true;
    const auto list = book_.List();
    table_->setRowCount(static_cast<int>(list.size()));
    for (int row = 0; row < static_cast<int>(list.size()); ++row) {
        const auto& e = list[static_cast<std::size_t>(row)];
        const FaultRule& r = e.rule;
        const QString cells[kColumns] = {
            Text(r.name),
            Text(r.link),
            r.unit < 0 ? QString("any") : QString::number(r.unit),
            Text(FunctionsText(r)),
            Text(AddressesText(r)),
            QString(ActionName(r.action)) + (r.action == pomrel::FaultAction::Exception ? QString(" %1").arg(r.exceptionCode) : QString())
                + (r.delayMs ? QString(" +%1 ms").arg(r.delayMs) : QString()),
            Text(TriggerText(r)),
            QString::number(e.matched),
            QString::number(e.fired),
            QString()};
        for (int c = 0; c < kColumns; ++c) {
            auto* item = new QTableWidgetItem(cells[c]);
            item->setData(Qt::UserRole, r.id);
            if (c == kEnabled) {
                item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
                item->setCheckState(r.enabled ? Qt::Checked : Qt::Unchecked);
            }
            table_->setItem(row, c, item);
        }
    }
    filling_ = false;
    Select(selected);
}

void FaultDialog::Refresh()
{
    const auto list = book_.List();
    bool same = static_cast<int>(list.size()) == table_->rowCount();
    for (int row = 0; same && row < table_->rowCount(); ++row)
        same = table_->item(row, kName)->data(Qt::UserRole).toUInt() == list[static_cast<std::size_t>(row)].rule.id;
    if (!same)
        return Rebuild();
    filling_ = true;
    for (int row = 0; row < table_->rowCount(); ++row) {
        table_->item(row, kMatched)->setText(QString::number(list[static_cast<std::size_t>(row)].matched));
        table_->item(row, kFired)->setText(QString::number(list[static_cast<std::size_t>(row)].fired));
    }
    filling_ = false;
}

std::uint32_t FaultDialog::SelectedId() const
{
    const auto rows = table_->selectionModel() ? table_->selectionModel()->selectedRows() : QModelIndexList{};
    if (rows.isEmpty())
        return 0;
    const QTableWidgetItem* item = table_->item(rows.front().row(), kName);
    return item ? item->data(Qt::UserRole).toUInt() : 0;
}

void FaultDialog::Select(std::uint32_t id)
{
    for (int row = 0; row < table_->rowCount(); ++row)
        if (table_->item(row, kName)->data(Qt::UserRole).toUInt() == id)
            return table_->selectRow(row);
}

std::optional<FaultRule> FaultDialog::RunEditor(const FaultForm& form)
{
    if (editRule)
        return editRule(form);
    FaultRuleDialog dlg(form, openLinks ? openLinks() : std::vector<std::string>{}, this);
    // Modal to this window only: the monitor and the data windows stay usable beside it.
    dlg.setWindowModality(Qt::WindowModal);
    if (dlg.exec() != QDialog::Accepted)
        return std::nullopt;
    return dlg.Rule();
}

QString FaultDialog::AskFileName(bool save)
{
    if (askFileName)
        return askFileName(save);
    return save ? QFileDialog::getSaveFileName(this, "Save Fault Scenario", "scenario.json", kScenarioFilter)
                : QFileDialog::getOpenFileName(this, "Load Fault Scenario", QString(), kScenarioFilter);
}

void FaultDialog::AddRule()
{
    FaultForm blank;
    blank.text[FaultForm::kAction] = "delay";
    blank.text[FaultForm::kDelayMs] = "100";
    if (auto rule = RunEditor(blank)) {
        const std::uint32_t id = book_.Add(std::move(*rule));
        Rebuild();
        Select(id);
    }
}

void FaultDialog::EditRule()
{
    const std::uint32_t id = SelectedId();
    for (const FaultRule& r : book_.Rules()) {
        if (r.id != id)
            continue;
        if (auto rule = RunEditor(FormFromRule(r))) {
            book_.Update(id, std::move(*rule));
            Rebuild();
        }
        return;
    }
}

void FaultDialog::DuplicateRule()
{
    const std::uint32_t id = SelectedId();
    for (const FaultRule& r : book_.Rules()) {
        if (r.id == id) {
            FaultRule copy = r;
            copy.name += " (copy)";
            const std::uint32_t added = book_.Add(std::move(copy));
            Rebuild();
            Select(added);
            return;
        }
    }
}

void FaultDialog::RemoveRule()
{
    if (book_.Remove(SelectedId()))
        Rebuild();
}

void FaultDialog::MoveRule(int by)
{
    if (book_.Move(SelectedId(), by))
        Rebuild();
}

void FaultDialog::LoadScenario()
{
    const QString path = AskFileName(false);
    if (path.isEmpty())
        return;
    std::string error;
    if (!loadScenario || !loadScenario(path.toStdString(), error))
        QMessageBox::warning(this, "Kelvaro64", Text(error));
    Rebuild();
}

void FaultDialog::SaveScenarioAs()
{
    const QString path = AskFileName(true);
    if (path.isEmpty())
        return;
    std::string error;
    if (!saveScenario || !saveScenario(path.toStdString(), book_.Rules(), error))
        QMessageBox::warning(this, "Kelvaro64", QString("%1 could not be written: %2").arg(path, Text(error)));
}

} // namespace faults

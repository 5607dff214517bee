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

FaultRuleDialog::FaultRuleDialog(const FaultForm& form, QWidget* parent) : QDialog(parent)
{
    setWindowTitle("Fault Rule");
    auto* layout = new QVBoxLayout(this);
    auto* rows = new QFormLayout;
    for (int i = 0; i < FaultForm::kFieldCount; ++i) {
        if (i == FaultForm::kAction) {
            action_ = new QComboBox(this);
            action_->setObjectName("action");
            for (const char* name : kActionNames)
                action_->addItem(name);
            action_->setCurrentText(Text(form.text[FaultForm::kAction].empty() ? "delay" : form.text[FaultForm::kAction]));
            rows->addRow(FaultForm::FieldLabel(i), action_);
            continue;
        }
        auto* edit = new QLineEdit(Text(form.text[static_cast<std::size_t>(i)]), this);
        edit->setObjectName(FaultForm::FieldName(i));
        fields_[static_cast<std::size_t>(i)] = edit;
        rows->addRow(FaultForm::FieldLabel(i), edit);
    }
    enabled_ = new QCheckBox("Enabled", this);
    enabled_->setObjectName("enabled");
    enabled_->setChecked(form.enabled);
    rows->addRow(QString(), enabled_);
    layout->addLayout(rows);
    dialogkit::AddOkCancelBox(this, layout);
}

void FaultRuleDialog::accept()
{
    FaultForm form;
    for (int i = 0; i < FaultForm::kFieldCount; ++i)
        form.text[static_cast<std::size_t>(i)] =
            i == FaultForm::kAction ? action_->currentText().toStdString() : Field(i)->text().toStdString();
    form.enabled = enabled_->isChecked();
    std::string error;
    rule_ = RuleFromForm(form, error);
    if (!rule_) {
        // "field \"unit\": must be 0 to 255": back to that field.
        QWidget* field = nullptr;
        for (int i = 0; i < FaultForm::kFieldCount; ++i)
            if (error.find(std::string("\"") + FaultForm::FieldName(i) + "\"") != std::string::npos)
                field = i == FaultForm::kAction ? static_cast<QWidget*>(action_) : Field(i);
        dialogkit::ShowFieldError(this, field, Text(error));
        return;
    }
    QDialog::accept();
}

// ---- The list -------------------------------------------------------------------------------------

FaultDialog::FaultDialog(FaultBook& book, QWidget* parent) : QDialog(parent), book_(book)
{
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
    layout->addWidget(table_);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this] { EditRule(); });
    connect(table_, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (filling_ || item->column() != kEnabled)
            return;
        book_.Enable(item->data(Qt::UserRole).toUInt(), item->checkState() == Qt::Checked);
    });

    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* text, const char* name, auto slot) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
    };
    button("&Add...", "add", [this] { AddRule(); });
    button("&Edit...", "edit", [this] { EditRule(); });
    button("D&uplicate", "duplicate", [this] { DuplicateRule(); });
    button("&Remove", "remove", [this] { RemoveRule(); });
    button("U&p", "up", [this] { MoveRule(-1); });
    button("Do&wn", "down", [this] { MoveRule(1); });
    buttons->addStretch();
    button("&Load...", "load", [this] { LoadScenario(); });
    button("&Save As...", "saveAs", [this] { SaveScenarioAs(); });
    button("Close", "close", [this] { accept(); });
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
    FaultRuleDialog dlg(form, this);
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

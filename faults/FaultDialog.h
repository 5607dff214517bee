// Tools > Fault Injection: the rules in force as a table (with their counters, updated while the
// dialog is open), and the editor of one rule.
#pragma once

#include "faults/FaultForm.h"

#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QTableWidget;
class QTimer;

namespace faults {

class FaultBook;

/// The editor of one rule. Only the fields its action uses are enabled; the link, the point type
/// and the exception code are named choices (a box that also takes another value typed in).
class FaultRuleDialog : public QDialog {
    Q_OBJECT
public:
    /// `openLinks`: the links the program has open ("tcp", "serial:3"), offered beside "any".
    FaultRuleDialog(const FaultForm& form, const std::vector<std::string>& openLinks = {}, QWidget* parent = nullptr);
    /// The rule, once OK accepted it.
    const std::optional<pomrel::FaultRule>& Rule() const { return rule_; }
    /// The line edit of a text field (nullptr for the fields that are choice boxes).
    QLineEdit* Field(int field) const { return fields_[static_cast<std::size_t>(field)]; }
    /// The choice box of the link, the point type, the action or the exception code.
    QComboBox* Choice(int field) const { return choices_[static_cast<std::size_t>(field)]; }
    /// The control of any field.
    QWidget* Control(int field) const;
    QComboBox* ActionBox() const { return Choice(FaultForm::kAction); }
    QCheckBox* EnabledBox() const { return enabled_; }
    /// The fields as the editor reads them (choices as their values).
    FaultForm Form() const;

    /// OK: the fields as a rule, or the reader's message with the focus on the field it names.
    void accept() override;

private:
    void ActionChanged();

    std::array<QLineEdit*, FaultForm::kFieldCount> fields_{};
    std::array<QComboBox*, FaultForm::kFieldCount> choices_{};
    std::array<std::vector<FormChoice>, FaultForm::kFieldCount> choiceLists_{};
    QCheckBox* enabled_ = nullptr;
    std::optional<pomrel::FaultRule> rule_;
};

class FaultDialog : public QDialog {
    Q_OBJECT
public:
    enum Column { kName, kLink, kUnit, kFunctions, kAddresses, kAction, kTrigger, kMatched, kFired, kEnabled, kColumns };

    FaultDialog(FaultBook& book, QWidget* parent = nullptr);
    QTableWidget* Table() const { return table_; }

    /// The table from the book; counters only when the rules are the same as shown.
    void Refresh();
    /// The id of the selected rule, or 0.
    std::uint32_t SelectedId() const;
    void Select(std::uint32_t id);

    void AddRule();
    void EditRule();
    void DuplicateRule();
    void RemoveRule();
    void MoveRule(int by);
    void LoadScenario();
    void SaveScenarioAs();

    /// How a rule editor is run (tests answer it without a modal loop).
    std::function<std::optional<pomrel::FaultRule>(const FaultForm& form)> editRule;
    /// The links the program has open now, offered by the rule editor (nothing: "any" alone).
    std::function<std::vector<std::string>()> openLinks;
    /// How file names are asked for (tests give one directly).
    std::function<QString(bool save)> askFileName;
    /// Reading and writing scenario files is the program's (one reader and one writer of set-up
    /// extras): Load puts a file in force, Save As writes the rules as one.
    std::function<bool(const std::string& path, std::string& error)> loadScenario;
    std::function<bool(const std::string& path, const std::vector<pomrel::FaultRule>& rules, std::string& error)> saveScenario;

private:
    void Rebuild();
    std::optional<pomrel::FaultRule> RunEditor(const FaultForm& form);
    QString AskFileName(bool save);

    FaultBook& book_;
    QTableWidget* table_ = nullptr;
    QTimer* timer_ = nullptr;
    bool filling_ = false;
};

} // namespace faults

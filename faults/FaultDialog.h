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

class FaultRuleDialog : public QDialog {
    Q_OBJECT
public:
    FaultRuleDialog(const FaultForm& form, QWidget* parent = nullptr);
    /// The rule, once OK accepted it.
    const std::optional<pomrel::FaultRule>& Rule() const { return rule_; }
    QLineEdit* Field(int field) const { return fields_[static_cast<std::size_t>(field)]; }
    QComboBox* ActionBox() const { return action_; }
    QCheckBox* EnabledBox() const { return enabled_; }

    /// OK: the fields as a rule, or the reader's message with the focus on the field it names.
    void accept() override;

private:
    std::array<QLineEdit*, FaultForm::kFieldCount> fields_{};
    QComboBox* action_ = nullptr;
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

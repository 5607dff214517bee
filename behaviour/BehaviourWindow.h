// Tools > Behaviour: the generators, reactions and scripts in force with their counters (updated
// while the window is open), the behaviour log, and the editor of one generator. Not modal: the
// data windows and the Traffic Monitor stay usable beside it.
#pragma once

#include "behaviour/BehaviourBook.h"
#include "behaviour/GeneratorForm.h"
#include "behaviour/TrendSeries.h"

#include <QDialog>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QTableWidget;
class QTimer;

namespace behaviour {

/// The editor of one generator. Only the fields its kind and value use are enabled; the point
/// type, the value and the kind are choices.
class GeneratorDialog : public QDialog {
    Q_OBJECT
public:
    /// A csv file is read relative to `baseDir` (empty: the working folder).
    explicit GeneratorDialog(const GeneratorForm& form, std::string baseDir = {}, QWidget* parent = nullptr);
    /// The generator, once OK accepted it.
    const std::optional<GeneratorSpec>& Spec() const { return spec_; }
    /// The line edit of a text field (nullptr for choices and check boxes).
    QLineEdit* Field(int field) const { return fields_[static_cast<std::size_t>(field)]; }
    QComboBox* Choice(int field) const { return choices_[static_cast<std::size_t>(field)]; }
    QCheckBox* Flag(int field) const { return flags_[static_cast<std::size_t>(field)]; }
    /// The control of any field.
    QWidget* Control(int field) const;
    GeneratorForm Form() const;

    /// OK: the fields as a generator, or the reader's message with the focus on the field it names.
    void accept() override;

private:
    void UpdateFields();

    std::array<QLineEdit*, GeneratorForm::kFieldCount> fields_{};
    std::array<QComboBox*, GeneratorForm::kFieldCount> choices_{};
    std::array<QCheckBox*, GeneratorForm::kFieldCount> flags_{};
    std::string baseDir_;
    std::optional<GeneratorSpec> spec_;
};

/// The editor of one reaction: the watched point, the action and its target.
class ReactionDialog : public QDialog {
    Q_OBJECT
public:
    enum Field { kName, kUnit, kType, kAddress, kEquals, kAction, kTargetUnit, kTargetType, kTargetAddress, kValue,
                 kAfterMs, kFieldCount };
    explicit ReactionDialog(QWidget* parent = nullptr);
    QLineEdit* Field(int field) const { return fields_[static_cast<std::size_t>(field)]; }
    QComboBox* ActionBox() const { return action_; }
    const std::optional<ReactionSpec>& Spec() const { return spec_; }
    void accept() override;

private:
    std::array<QLineEdit*, kFieldCount> fields_{};
    QComboBox* action_ = nullptr;
    std::optional<ReactionSpec> spec_;
};

class BehaviourWindow : public QDialog {
    Q_OBJECT
public:
    enum GeneratorColumn { kName, kPoint, kKind, kValueNow, kUpdates, kEnabled, kGeneratorColumns };
    enum ReactionColumn { kReactionName, kReactionPoint, kReactionAction, kReactionTarget, kReactionFired,
                          kReactionColumns };
    enum ScriptColumn { kScriptName, kScriptState, kScriptCalls, kScriptError, kScriptColumns };

    explicit BehaviourWindow(BehaviourBook& book, QWidget* parent = nullptr);

    QTableWidget* Generators() const { return generators_; }
    QTableWidget* Reactions() const { return reactions_; }
    QTableWidget* Scripts() const { return scripts_; }
    QPlainTextEdit* Log() const { return log_; }

    /// The refresh timer's tick: the tables from the book (counters and values only while the
    /// lists are the ones shown) and the log lines since the last tick.
    void Refresh();
    /// The id of the selected generator (or reaction), or 0.
    std::uint64_t SelectedGenerator() const;
    std::uint64_t SelectedReaction() const;
    void SelectGenerator(std::uint64_t id);

    void AddGenerator();
    /// The editor preset to a point (a data window's "Add Generator...").
    void AddGeneratorFor(const GeneratorForm& form);
    void EditGenerator();
    void DuplicateGenerator();
    void RemoveGenerator();
    /// The selected generator's point on the trend.
    void TrendGenerator();
    void AddReaction();
    void RemoveReaction();
    void ReloadScripts();
    void Load();
    void SaveAs();

    /// How a generator editor is run (tests answer it without a modal loop); `error` is what the
    /// book refused last time, shown again in the editor.
    std::function<std::optional<GeneratorSpec>(const GeneratorForm& form)> editGenerator;
    std::function<std::optional<ReactionSpec>()> editReaction;
    /// How file names are asked for (tests give one directly).
    std::function<QString(bool save)> askFileName;
    /// Where "Trend" sends a generator's point (the program's trend window).
    std::function<void(const TrendPoint&)> trendPoint;
    /// Refusals and failures are told here (tests read them instead of a message box).
    std::function<void(const QString& text)> tell;

protected:
    // The timer runs while the window is shown: a closed window costs nothing.
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Rebuild();
    void Tell(const QString& text);
    std::optional<GeneratorSpec> RunEditor(GeneratorForm form);
    QString AskFileName(bool save);
    /// Runs the editor until the book takes the generator or the editor is cancelled.
    void EditUntilTaken(GeneratorForm form, const std::function<bool(GeneratorSpec, std::string&)>& put);

    BehaviourBook& book_;
    QTableWidget* generators_ = nullptr;
    QTableWidget* reactions_ = nullptr;
    QTableWidget* scripts_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    QTimer* timer_ = nullptr;
    std::uint64_t logSeen_ = 0;
    std::string baseDir_;   // the folder of the file loaded last: csv files are found from it
    bool filling_ = false;
};

} // namespace behaviour

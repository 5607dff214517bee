// Answers the modal dialogs a command opens, one after the other, as a user would: a message box
// is read and closed with the given button, a file dialog gets a name typed in (or is cancelled).
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <deque>

class ModalAnswerer : public QObject {
public:
    ModalAnswerer()
    {
        connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
        timer_.start(5);
    }

    /// The next dialog is a message box; it is closed with `button`.
    void Message(QMessageBox::StandardButton button = QMessageBox::Ok) { answers_.push_back({kMessage, {}, button}); }
    /// The next dialog is a file dialog; `path` is typed in and accepted (empty: Cancel).
    void File(const QString& path) { answers_.push_back({kFile, path, QMessageBox::NoButton}); }

    /// Texts of the message boxes seen, in order.
    QStringList messages;
    /// Of every file dialog seen, in order: the folder it opened in and its filter's label.
    QStringList fileFolders;
    QStringList fileFilters;
    /// When set, each file dialog is answered only once it has read its folder, and the names
    /// it lists (files and folders) are kept here.
    bool listFiles = false;
    QStringList listed;
    /// Dialogs that came with no answer left (they were cancelled).
    int unexpected = 0;
    bool Done() const { return answers_.empty(); }

private:
    enum Kind { kMessage, kFile };
    struct Answer {
        Kind kind;
        QString path;
        QMessageBox::StandardButton button;
    };

    void Poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == handled_ || !modal->isVisible())
            return;
        if (auto* dialog = qobject_cast<QFileDialog*>(modal); dialog && listFiles && !FolderRead(dialog))
            return;
        handled_ = modal;
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages.push_back(box->text());
            if (answers_.empty() || answers_.front().kind != kMessage) {
                ++unexpected;
                box->reject();
                return;
            }
            QAbstractButton* button = box->button(answers_.front().button);
            answers_.pop_front();
            if (button)
                button->click();
            else
                box->reject();
            return;
        }
        if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            fileFolders.push_back(dialog->directory().absolutePath());
            auto* filter = dialog->findChild<QComboBox*>("fileTypeCombo");
            fileFilters.push_back(filter ? filter->currentText() : dialog->selectedNameFilter());
            if (listFiles)
                listed = Listed(dialog);
            if (answers_.empty() || answers_.front().kind != kFile || answers_.front().path.isEmpty()) {
                if (answers_.empty() || answers_.front().kind != kFile)
                    ++unexpected;
                else
                    answers_.pop_front();
                dialog->reject();
                return;
            }
            const QString path = answers_.front().path;
            answers_.pop_front();
            if (auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit"))
                edit->setText(path);
            dialog->selectFile(path);
            // Queued: a question the dialog asks from accept() (replace the file?) is answered by a
            // later poll, which cannot run while this one does.
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            return;
        }
        ++unexpected;
        if (auto* d = qobject_cast<QDialog*>(modal))
            d->reject();
    }

    // The dialog reads its folder on a thread of its own; wait for that (a bounded number of
    // polls, then answer anyway).
    bool FolderRead(QFileDialog* dialog)
    {
        if (reading_ != dialog) {
            reading_ = dialog;
            polls_ = 0;
            folderRead_ = false;
            if (auto* model = dialog->findChild<QFileSystemModel*>())
                connect(model, &QFileSystemModel::directoryLoaded, this, [this] { folderRead_ = true; });
        }
        // The signal may have come before the dialog showed: a listing that stays the same
        // for a while is read too.
        const QStringList now = Listed(dialog);
        stablePolls_ = now == lastListing_ && !now.isEmpty() ? stablePolls_ + 1 : 0;
        lastListing_ = now;
        return folderRead_ || stablePolls_ > 20 || ++polls_ > 1000;
    }

    static QStringList Listed(QFileDialog* dialog)
    {
        QStringList names;
        auto* model = dialog->findChild<QFileSystemModel*>();
        if (!model)
            return names;
        const QModelIndex folder = model->index(dialog->directory().absolutePath());
        for (int row = 0; row < model->rowCount(folder); ++row)
            names.push_back(model->index(row, 0, folder).data().toString());
        names.sort();
        return names;
    }

    QTimer timer_;
    QPointer<QWidget> handled_;
    QPointer<QFileDialog> reading_;
    int polls_ = 0;
    int stablePolls_ = 0;
    QStringList lastListing_;
    bool folderRead_ = false;
    std::deque<Answer> answers_;
};

// Answers the modal dialogs a command opens, one after the other, as a user would: a message box
// is read and closed with the given button, a file dialog gets a name typed in (or is cancelled).
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
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
            QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
            return;
        }
        ++unexpected;
        if (auto* d = qobject_cast<QDialog*>(modal))
            d->reject();
    }

    QTimer timer_;
    QPointer<QWidget> handled_;
    std::deque<Answer> answers_;
};

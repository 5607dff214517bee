// Drives modal dialogs from inside their own event loop: the action runs as soon as a modal
// widget other than `outer` is active. The wait is counted in event-loop turns, not time.
#pragma once

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest/QTest>

#include <functional>
#include <memory>
#include <string>

namespace testdrive {

/// `guard`: when set and expired, the wait ends without acting (its owner is gone).
inline void OnNextModal(std::function<void(QWidget*)> action, QWidget* outer = nullptr,
                        std::weak_ptr<void> guard = {}, bool guarded = false, int turnsLeft = 10000)
{
    QTimer::singleShot(0, [action = std::move(action), outer, guard, guarded, turnsLeft] {
        if (guarded && guard.expired())
            return;
        QWidget* w = QApplication::activeModalWidget();
        if (w && w != outer && w->isVisible()) {
            action(w);
            return;
        }
        if (turnsLeft > 0)
            OnNextModal(action, outer, guard, guarded, turnsLeft - 1);
    });
}

/// Closes the next message box with OK and keeps its caption and text. Stops waiting when it
/// goes out of scope.
struct MessageCatcher {
    std::shared_ptr<int> alive = std::make_shared<int>(0);
    std::string caption, text;
    int count = 0;
    void Arm(QWidget* outer)
    {
        OnNextModal([this](QWidget* w) {
            ++count;
            caption = w->windowTitle().toStdString();
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                text = box->text().toStdString();
                box->button(QMessageBox::Ok)->click();
            } else {
                text = "<not a message box: " + w->objectName().toStdString() + ">";
                w->close();
            }
        }, outer, alive, true);
    }
};

inline QString Name(int id) { return QString("control%1").arg(id); }

template <class T = QWidget>
T* Control(QWidget* dlg, int id)
{
    return dlg->findChild<T*>(Name(id));
}

inline void Click(QWidget* dlg, int id)
{
    auto* button = Control<QAbstractButton>(dlg, id);
    // Check boxes and radio buttons take clicks on their indicator and text only.
    const bool indicator = qobject_cast<QCheckBox*>(button) || qobject_cast<QRadioButton*>(button);
    const QPoint at = indicator ? QPoint(6, button->height() / 2) : button->rect().center();
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

inline void SetText(QWidget* dlg, int id, const QString& text)
{
    auto* edit = Control<QLineEdit>(dlg, id);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

inline QString Text(QWidget* dlg, int id) { return Control<QLineEdit>(dlg, id)->text(); }

/// Chooses entry `index` of a drop-down list the way a user does, with the keyboard.
inline void Choose(QWidget* dlg, int id, int index)
{
    auto* box = Control<QComboBox>(dlg, id);
    for (int n = 0; n < 8 && box->currentIndex() < index; ++n)
        QTest::keyClick(box, Qt::Key_Down);
    for (int n = 0; n < 8 && box->currentIndex() > index; ++n)
        QTest::keyClick(box, Qt::Key_Up);
}

} // namespace testdrive

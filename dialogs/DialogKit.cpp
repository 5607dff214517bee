#include "dialogs/DialogKit.h"

#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

namespace dialogkit {

QString ControlName(int id)
{
    return QString("control%1").arg(id);
}

QLineEdit* MakeEdit(int id, const QString& text, QWidget* parent)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(ControlName(id));
    return edit;
}

void ShowFieldError(QWidget* dialog, QWidget* field, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, "Kelvaro64", text, QMessageBox::Ok, dialog);
    box.setObjectName("fieldError");
    box.exec();
    if (field) {
        field->setFocus(Qt::OtherFocusReason);
        if (auto* edit = qobject_cast<QLineEdit*>(field))
            edit->selectAll();
    }
}

void ShowFieldError(QDialog* dialog, const fieldtext::FieldError& error)
{
    ShowFieldError(dialog, dialog->findChild<QWidget*>(ControlName(error.controlId)),
                   QString::fromStdString(error.message));
}

QString EditText(const QDialog* dialog, int id)
{
    const auto* edit = dialog->findChild<QLineEdit*>(ControlName(id));
    return edit ? edit->text() : QString();
}

bool AcceptOrReport(QDialog* dialog, const fieldtext::FieldCheck& check)
{
    if (check)
        ShowFieldError(dialog, *check);
    return !check;
}

QPushButton* AddOkCancelButtons(QDialog* dialog, QBoxLayout* layout)
{
    auto* buttons = new QDialogButtonBox(dialog);
    auto* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    ok->setObjectName(ControlName(1));
    ok->setDefault(true);
    ok->setWhatsThis("Takes the fields as they are and closes the window; a field that is refused is named and "
                     "the window stays open.");
    auto* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    cancel->setObjectName(ControlName(2));
    cancel->setWhatsThis("Closes the window without changing anything.");
    layout->addWidget(buttons);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return ok;
}

void AddOkCancelBox(QDialog* dialog, QBoxLayout* layout)
{
    QPushButton* ok = AddOkCancelButtons(dialog, layout);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
}

QFont TitleFont()
{
    QFont font = QApplication::font();
    font.setBold(true);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 1.1);
    else
        font.setPixelSize(font.pixelSize() * 11 / 10);
    return font;
}

int TitleWidth(const QString& title)
{
    const QFontMetrics metrics(TitleFont());
    // An icon and three buttons of about the bar's height, and the frame's edges and padding.
    return metrics.horizontalAdvance(title) + 4 * (metrics.height() + 8) + 32;
}

namespace {

class TitleFitter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show || event->type() == QEvent::WindowTitleChange) {
            auto* dialog = qobject_cast<QDialog*>(watched);
            if (dialog && dialog->isWindow() && !dialog->windowTitle().isEmpty()) {
                const int width = TitleWidth(dialog->windowTitle());
                if (dialog->maximumWidth() < width)
                    dialog->setMaximumWidth(width);
                if (dialog->minimumWidth() < width)
                    dialog->setMinimumWidth(width);
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void FitDialogsToTitles()
{
    const QString name = "dialogTitleFitter";
    if (!qApp || qApp->findChild<QObject*>(name, Qt::FindDirectChildrenOnly))
        return;
    auto* fitter = new TitleFitter(qApp);
    fitter->setObjectName(name);
    qApp->installEventFilter(fitter);
}

} // namespace dialogkit

#include "connections/CCountersDlg.h"

#include "connections/ConnectionManager.h"
#include "dialogs/DialogKit.h"
#include "connections/StatusCounters.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimerEvent>
#include <QVBoxLayout>

using namespace dialogkit;

CCountersDlg::CCountersDlg(ConnectionManager& connections, QWidget* parent) : QDialog(parent), connections_(connections)
{
    setObjectName("dialog133");
    setWindowTitle("Connection Status Counters");
    auto* layout = new QVBoxLayout(this);

    auto* reset = new QPushButton("Reset", this);
    reset->setObjectName(ControlName(1011));
    reset->setAutoDefault(false);
    connect(reset, &QPushButton::clicked, this, &CCountersDlg::OnReset);
    auto* top = new QHBoxLayout;
    top->addWidget(reset);
    top->addStretch();
    layout->addLayout(top);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Valid Messages", this), 0, 1);
    grid->addWidget(new QLabel("Invalid CRCs", this), 0, 2);
    for (std::size_t i = 0; i < kCounterRows.size(); ++i) {
        const CounterRow& row = kCounterRows[i];
        const int r = static_cast<int>(i) + 1;
        grid->addWidget(new QLabel(row.label, this), r, 0);
        for (auto [field, id, column] : {std::tuple{&valid_[i], row.validId, 1}, std::tuple{&invalid_[i], row.invalidId, 2}}) {
            auto* edit = new QLineEdit(this);
            edit->setObjectName(ControlName(id));
            edit->setReadOnly(true);
            edit->setEnabled(false);   // display only
            *field = edit;
            grid->addWidget(edit, r, column);
        }
    }
    layout->addLayout(grid);

    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName(ControlName(2));
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    layout->addWidget(cancel);

    timerId_ = startTimer(500);
}

QLineEdit* CCountersDlg::Field(int id) const
{
    for (std::size_t i = 0; i < kCounterRows.size(); ++i) {
        if (kCounterRows[i].validId == id)
            return valid_[i];
        if (kCounterRows[i].invalidId == id)
            return invalid_[i];
    }
    return nullptr;
}

void CCountersDlg::OnTimer()
{
    const auto values = ReadStatusCounters(connections_);
    for (std::size_t i = 0; i < values.size(); ++i) {
        valid_[i]->setText(QString::number(values[i].valid));
        invalid_[i]->setText(QString::number(values[i].invalid));
    }
}

void CCountersDlg::OnReset()
{
    ResetStatusCounters(connections_);
    for (std::size_t i = 0; i < kCounterRows.size(); ++i) {
        valid_[i]->setText("0");
        invalid_[i]->setText("0");
    }
}

void CCountersDlg::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == timerId_)
        OnTimer();
    else
        QDialog::timerEvent(event);
}

#include "connections/CCountersDlg.h"

#include "connections/ConnectionManager.h"
#include "dialogs/DialogKit.h"
#include "connections/StatusCounters.h"
#include "servers/NetworkServers.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QTableWidget>
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

void CCountersDlg::ShowServers(servers::NetworkServers* list)
{
    servers_ = list;
    if (!list || serversTable_)
        return;
    serversTable_ = new QTableWidget(0, servers::NetworkServers::kCounterColumns, this);
    serversTable_->setObjectName("networkServers");
    QStringList titles;
    for (const char* title : servers::NetworkServers::kCounterTitles)
        titles << title;
    serversTable_->setHorizontalHeaderLabels(titles);
    serversTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    serversTable_->verticalHeader()->setVisible(false);
    serversTable_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    serversTable_->setMinimumSize(880, 160);   // every counter in view without scrolling sideways
    // Above the Cancel button, which stays last.
    auto* box = static_cast<QVBoxLayout*>(layout());
    box->insertWidget(box->count() - 1, new QLabel("Network servers:", this));
    box->insertWidget(box->count() - 1, serversTable_);
    OnTimer();
}

void CCountersDlg::OnTimer()
{
    const auto values = ReadStatusCounters(connections_);
    for (std::size_t i = 0; i < values.size(); ++i) {
        valid_[i]->setText(QString::number(values[i].valid));
        invalid_[i]->setText(QString::number(values[i].invalid));
    }
    if (!servers_ || !serversTable_)
        return;
    const auto rows = servers_->CounterRows();
    serversTable_->setRowCount(static_cast<int>(rows.size()));
    for (int r = 0; r < static_cast<int>(rows.size()); ++r)
        for (int c = 0; c < servers::NetworkServers::kCounterColumns; ++c) {
            auto* item = serversTable_->item(r, c);
            if (!item) {
                item = new QTableWidgetItem;
                serversTable_->setItem(r, c, item);
            }
            item->setText(QString::fromStdString(rows[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)]));
        }
}

void CCountersDlg::OnReset()
{
    ResetStatusCounters(connections_);
    if (servers_) {
        servers_->ResetCounters();
        OnTimer();
    }
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

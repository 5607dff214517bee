#include "monitor/TrafficMonitorWindow.h"

#include "document/FileAccess.h"
#include "monitor/CaptureFile.h"
#include "monitor/TrafficJsonLog.h"
#include "monitor/TrafficMonitorSink.h"
#include "monitor/TrafficTap.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScreen>
#include <QWhatsThis>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QPainter>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTemporaryFile>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace monitor {

namespace {

// The function codes the engine serves, in the function filter's list.
constexpr int kFunctions[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 15, 16, 17, 22, 23, 24, 43};
const char* const kCaptureFilter = "Captures (*.pcapng);;All Files (*)";
const char* const kLogFilter = "JSON Lines (*.jsonl);;All Files (*)";
// Save Capture hands the rows to the capture in slices, so a full table is never copied whole.
constexpr std::size_t kSaveSlice = 4096;
// A full table of the longest frames comes to about 70 MB.
constexpr std::size_t kSaveLimit = std::size_t(1) << 30;

QString Text(const std::string& s) { return QString::fromStdString(s); }

// One line of plain text per cell. The style's item painting lays out every cell's text to
// elide it, which made a full table's repaint (ten a second under a flat-out master) three
// times dearer; a clipped line is all a cell of this table needs.
class CellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const bool selected = option.state & QStyle::State_Selected;
        if (selected)
            painter->fillRect(option.rect, option.palette.brush(QPalette::Highlight));
        QColor pen = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        if (!selected) {
            const QVariant foreground = index.data(Qt::ForegroundRole);
            if (foreground.isValid())
                pen = foreground.value<QColor>();
        }
        const QVariant align = index.data(Qt::TextAlignmentRole);
        const int flags = (align.isValid() ? align.toInt() : int(Qt::AlignLeft | Qt::AlignVCenter)) | Qt::TextSingleLine;
        painter->save();
        painter->setClipRect(option.rect);
        painter->setPen(pen);
        painter->drawText(option.rect.adjusted(3, 0, -3, 0), flags, index.data(Qt::DisplayRole).toString());
        painter->restore();
    }
};

} // namespace

// ---- The table model --------------------------------------------------------------------------------

TrafficTableModel::TrafficTableModel(QObject* parent) : QAbstractTableModel(parent) { rows_.SetListener(this); }

TrafficTableModel::~TrafficTableModel() { rows_.SetListener(nullptr); }

int TrafficTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.ShownCount());
}

int TrafficTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : TrafficMonitorModel::kColumns;
}

QVariant TrafficTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= rows_.ShownCount())
        return {};
    const auto row = static_cast<std::size_t>(index.row());
    switch (role) {
    case Qt::DisplayRole: return Text(rows_.Cell(row, index.column()));
    case Qt::ForegroundRole:
        // Errors stand out.
        if (IsErrorFrame(rows_.Shown(row)))
            return QColor(0xB0, 0x00, 0x00);
        return {};
    case Qt::ToolTipRole:
        // The raw words behind values shown in a data window's format.
        if (index.column() == TrafficMonitorModel::kValues) {
            const std::string raw = rows_.RawValuesOf(row);
            if (!raw.empty())
                return QString("Raw words: %1").arg(Text(raw));
        }
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == TrafficMonitorModel::kUnit || index.column() == TrafficMonitorModel::kRoundTrip)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    default: return {};
    }
}

QVariant TrafficTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return QString::fromUtf8(TrafficMonitorModel::ColumnTitle(section));
    return {};
}

void TrafficTableModel::Refresh()
{
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

void TrafficTableModel::RowsAboutToBeDropped(std::size_t count) { beginRemoveRows({}, 0, static_cast<int>(count) - 1); }
void TrafficTableModel::RowsDropped() { endRemoveRows(); }
void TrafficTableModel::RowsAboutToBeAdded(std::size_t first, std::size_t count)
{
    beginInsertRows({}, static_cast<int>(first), static_cast<int>(first + count) - 1);
}
void TrafficTableModel::RowsAdded() { endInsertRows(); }
void TrafficTableModel::AboutToReset() { beginResetModel(); }
void TrafficTableModel::Reset() { endResetModel(); }

// ---- The window ------------------------------------------------------------------------------------

TrafficMonitorWindow::TrafficMonitorWindow(TrafficTap& tap, QWidget* parent)
    : QWidget(parent, Qt::Window), tap_(tap), sink_(std::make_shared<TrafficMonitorSink>())
{
    setObjectName("trafficMonitor");
    setWindowTitle("Traffic Monitor");
    setAttribute(Qt::WA_DeleteOnClose);
    setWhatsThis("Every Modbus frame on every link the program serves, decoded: one row per request, "
                 "answer or discarded bytes. Shift+F1 and a click on any control says what it does.");
    auto* layout = new QVBoxLayout(this);

    auto* filters = new QHBoxLayout;
    link_ = new QComboBox(this);
    link_->setObjectName("link");
    link_->addItem("All links");
    unit_ = new QLineEdit(this);
    unit_->setObjectName("unit");
    unit_->setPlaceholderText("any");
    unit_->setMaximumWidth(60);
    function_ = new QComboBox(this);
    function_->setObjectName("function");
    function_->addItem("All functions", -1);
    for (int fc : kFunctions)
        function_->addItem(QString("%1 %2").arg(fc).arg(Text(FunctionName(fc))), fc);
    address_ = new QLineEdit(this);
    address_->setObjectName("address");
    address_->setPlaceholderText("e.g. 100-199");
    address_->setMaximumWidth(120);
    fault_ = new QComboBox(this);
    fault_->setObjectName("fault");
    fault_->setEditable(true);
    fault_->setInsertPolicy(QComboBox::NoInsert);
    fault_->addItem(QString());
    fault_->addItem(kAnyFault);
    fault_->lineEdit()->setPlaceholderText("any row");
    fault_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    fault_->setMinimumContentsLength(12);
    errorsOnly_ = new QCheckBox("&Errors only", this);
    errorsOnly_->setObjectName("errorsOnly");
    link_->setWhatsThis("Shows only the frames of one link: a serial port (serial:N) or a network server "
                        "(tcp, udp, rtu-over-tcp, tls; tcp:2 is a second Modbus/TCP endpoint). Links appear "
                        "here as their first frame arrives.");
    unit_->setWhatsThis("Shows only the frames of one unit (device id, 0 to 255). Empty: every unit.");
    function_->setWhatsThis("Shows only the frames of one function code; an exception answer counts as its "
                            "function.");
    address_->setWhatsThis("Shows only the frames whose points overlap these addresses, as they go on the wire "
                           "(counting from 0): one address such as 100, or a range such as 100-199.");
    fault_->setWhatsThis("Shows only the answers a fault rule made (delayed, changed, refused, left unanswered, "
                         "connection closed). \"(any fault)\" or * : every rule; other text: rules whose name "
                         "contains it, in any case. The list offers the rules seen so far. The Fault column "
                         "names the rule of each row.");
    fault_->lineEdit()->setWhatsThis(fault_->whatsThis());
    errorsOnly_->setWhatsThis("Shows only exception answers, frames with a bad CRC or LRC, frames that do not "
                              "decode, discarded bytes and requests left without an answer.");
    auto label = [&](const char* text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setBuddy(buddy);
        filters->addWidget(l);
        filters->addWidget(buddy);
    };
    label("&Link:", link_);
    label("&Unit:", unit_);
    label("&Function:", function_);
    label("&Address:", address_);
    label("Fa&ult:", fault_);
    filters->addWidget(errorsOnly_);
    filters->addStretch();
    layout->addLayout(filters);
    connect(link_, &QComboBox::activated, this, [this] { ApplyFilter(); });
    connect(function_, &QComboBox::activated, this, [this] { ApplyFilter(); });
    connect(unit_, &QLineEdit::editingFinished, this, [this] { ApplyFilter(); });
    connect(address_, &QLineEdit::editingFinished, this, [this] { ApplyFilter(); });
    connect(errorsOnly_, &QCheckBox::toggled, this, [this] { ApplyFilter(); });
    connect(fault_, &QComboBox::activated, this, [this] { ApplyFilter(); });
    connect(fault_->lineEdit(), &QLineEdit::editingFinished, this, [this] { ApplyFilter(); });

    model_ = new TrafficTableModel(this);
    table_ = new QTableView(this);
    table_->setObjectName("frames");
    table_->setModel(model_);
    table_->setItemDelegate(new CellDelegate(table_));
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->setShowGrid(false);
    table_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Uniform rows: the view never measures a row, so 100 000 of them cost what the screen shows.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
    table_->verticalHeader()->hide();
    QHeaderView* header = table_->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setStretchLastSection(true);
    FitColumns();
    table_->setColumnHidden(TrafficMonitorModel::kBytes, true);
    table_->setWhatsThis("One row per frame: when it passed, the link and the master's address, rx for a "
                         "request, tx for an answer, drop for discarded bytes; the unit, the function, the "
                         "addresses (on the wire, from 0), the values, the round-trip time of an answer and "
                         "the fault rule that made it. Register values show as the data window serving them "
                         "shows them (a float window's floats); the tooltip of such a cell, or Raw words, "
                         "gives the words on the wire. Errors are red. Ctrl+C copies the selected rows.");
    layout->addWidget(table_, 1);

    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* text, const char* name, auto slot) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
        return b;
    };
    pause_ = button("&Pause", "pause", [this](bool on) { SetPaused(on); });
    pause_->setCheckable(true);
    button("C&lear", "clear", [this] { Clear(); });
    button("&Copy Rows", "copy", [this] { CopyRows(); });
    bytes_ = new QCheckBox("Raw &bytes", this);
    bytes_->setObjectName("bytes");
    connect(bytes_, &QCheckBox::toggled, this, [this](bool on) { ShowBytes(on); });
    buttons->addWidget(bytes_);
    rawWords_ = new QCheckBox("Raw &words", this);
    rawWords_->setObjectName("rawWords");
    connect(rawWords_, &QCheckBox::toggled, this, [this](bool on) { ShowRawWords(on); });
    buttons->addWidget(rawWords_);
    buttons->addStretch();
    captureButton_ = button("Start &Capture...", "capture", [this] {
        if (Capturing()) {
            StopCapture();
            return;
        }
        const QString path = AskFileName("Start Capture", kCaptureFilter);
        QString error;
        if (!path.isEmpty() && !StartCapture(path, error))
            Report(error);
    });
    button("&Save Capture...", "saveCapture", [this] {
        const QString path = AskFileName("Save Capture", kCaptureFilter);
        QString error;
        if (!path.isEmpty())
            Report(SaveCapture(path, error) ? QString("Saved %1").arg(path) : error);
    });
    logButton_ = button("Start JSON &Log...", "log", [this] {
        if (Logging()) {
            StopLog();
            return;
        }
        const QString path = AskFileName("Start JSON Log", kLogFilter);
        QString error;
        if (!path.isEmpty() && !StartLog(path, error))
            Report(error);
    });
    layout->addLayout(buttons);

    const struct {
        const char* name;
        const char* text;
    } help[] = {
        {"pause", "Stops adding rows so you can read them; frames that arrive meanwhile wait (up to the "
                  "row limit) and are added on Resume."},
        {"clear", "Removes every row, waiting ones included. The counters in the status line stay."},
        {"copy", "Copies the selected rows to the clipboard, one line per row, cells separated by tabs "
                 "(with the bytes when Raw bytes is on). Ctrl+C does the same."},
        {"bytes", "Adds a column with each frame's bytes in hex, as they went on the wire."},
        {"rawWords", "Shows register values as the 16-bit words on the wire instead of in the format of the "
                     "data window serving them (a float window's 3.1416 becomes 4048 16457)."},
        {"capture", "Writes every frame from now on into a pcapng file that Wireshark or tshark reads; "
                    "click again to stop."},
        {"saveCapture", "Writes the rows this window holds, shown or not, into a pcapng file."},
        {"log", "Writes every frame from now on into a JSON Lines file, one object per frame; click again "
                "to stop."},
    };
    for (const auto& h : help)
        if (auto* w = findChild<QWidget*>(h.name))
            w->setWhatsThis(h.text);

    status_ = new QLabel(this);
    status_->setObjectName("status");
    status_->setWhatsThis("Rows shown and kept, frames waiting while paused, frames dropped (by the row limit, "
                          "or before they reached this window when the program had no time to spare), and the "
                          "capture or log being written.");
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Its text changes every tick; its width must not lay the window out again each time.
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    layout->addWidget(status_);

    auto* copy = new QShortcut(QKeySequence::Copy, table_, nullptr, nullptr, Qt::WidgetShortcut);
    connect(copy, &QShortcut::activated, this, [this] { CopyRows(); });

    model_->Rows().SetClock(tap_.Clock());
    tapDroppedAtOpen_ = tap_.Dropped();
    tap_.AddSink(sink_);
    timer_ = new QTimer(this);
    timer_->setInterval(kTickMs);
    connect(timer_, &QTimer::timeout, this, &TrafficMonitorWindow::Tick);
    timer_->start();
    RefreshStatus();

    // A screen of 1024x768 has room for the whole window, buttons and all.
    const QScreen* screen = parent ? parent->screen() : this->screen();
    const QRect wanted(parent ? parent->geometry().topLeft() + QPoint(40, 40) : QPoint(0, 0), QSize(1100, 560));
    setGeometry(screen ? PlaceInside(wanted, screen->availableGeometry()) : wanted);
}

TrafficMonitorWindow::~TrafficMonitorWindow()
{
    // The captures and the log started here end with the window, each file whole.
    StopCapture();
    StopLog();
    tap_.RemoveSink(sink_);
}

void TrafficMonitorWindow::Tick()
{
    std::vector<FramePtr> frames = sink_->TakePending();
    if (!frames.empty()) {
        QScrollBar* bar = table_->verticalScrollBar();
        const bool following = bar->value() >= bar->maximum();
        model_->Rows().Append(frames);
        // The rows' old frames go back to be filled again on the tap's thread.
        sink_->Recycle(std::move(frames));
        if (following && !model_->Rows().Paused())
            table_->scrollToBottom();
        RefreshLinks();
        RefreshFaults();
    }
    // Counts that change every tick are read twice a second: a label's new text costs a layout.
    if (++ticks_ % kStatusEveryTicks == 0 || model_->Rows().Paused())
        RefreshStatus();
}

void TrafficMonitorWindow::FitColumns()
{
    // Each column as wide as the longest text it usually holds, in the table's font; the texts
    // come from the rows' own functions.
    std::string widestFunction;
    for (int fc : kFunctions) {
        DecodedFrame d;
        d.function = fc;
        d.exception = 4;
        widestFunction = std::max(widestFunction, FunctionText(d), [](const std::string& a, const std::string& b) {
            return a.size() < b.size();
        });
    }
    TappedFrame many;
    many.decoded.ok = true;
    many.decoded.function = 3;
    many.decoded.request = false;
    many.decoded.values.assign(125, 65535);
    const std::string widest[TrafficMonitorModel::kColumns] = {
        "00:00:00.000000", "rtu-over-tcp:99", "[ffff:ffff:ffff::ffff]:65535", "drop", "Unit", widestFunction,
        "65535-65535", ValuesText(many), "10000.000 ms", "a fault rule's name", ""};
    const QFontMetrics metrics(table_->font());
    QHeaderView* header = table_->horizontalHeader();
    for (int c = 0; c < TrafficMonitorModel::kColumns; ++c) {
        const int title = header->fontMetrics().horizontalAdvance(Text(TrafficMonitorModel::ColumnTitle(c)));
        header->resizeSection(c, std::max({40, title + 16, metrics.horizontalAdvance(Text(widest[c])) + 12}));
    }
}

void TrafficMonitorWindow::RefreshFaults()
{
    const auto& names = model_->Rows().FaultNames();
    for (; faultsShown_ < names.size(); ++faultsShown_)
        fault_->addItem(Text(names[faultsShown_]));
}

QRect TrafficMonitorWindow::PlaceInside(const QRect& wanted, const QRect& available)
{
    const QRect room = available.marginsRemoved(FrameAllowance());
    if (room.isEmpty())
        return wanted;
    QRect placed(wanted.topLeft(), wanted.size().boundedTo(room.size()));
    placed.moveLeft(std::clamp(placed.left(), room.left(), room.right() - placed.width() + 1));
    placed.moveTop(std::clamp(placed.top(), room.top(), room.bottom() - placed.height() + 1));
    return placed;
}

void TrafficMonitorWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::ShiftModifier) {
        QWhatsThis::enterWhatsThisMode();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TrafficMonitorWindow::ShowRawWords(bool on)
{
    if (rawWords_->isChecked() != on)
        rawWords_->setChecked(on);
    model_->Rows().SetRawWords(on);
    model_->Refresh();
}

void TrafficMonitorWindow::SetServingLookup(ServingLookup lookup)
{
    model_->Rows().SetServingLookup(std::move(lookup));
    model_->Refresh();
}

void TrafficMonitorWindow::RefreshLinks()
{
    const auto& links = model_->Rows().Links();
    for (; linksShown_ < links.size(); ++linksShown_)
        link_->addItem(Text(LinkName(links[linksShown_])), static_cast<int>(linksShown_));
}

bool TrafficMonitorWindow::ApplyFilter()
{
    MonitorFilter filter;
    std::string error;
    if (!ParseUnitFilter(unit_->text().toStdString(), filter.unit, error) ||
        !ParseAddressFilter(address_->text().toStdString(), filter.addresses, error)) {
        Report(Text(error));
        return false;
    }
    const QVariant link = link_->currentData();
    if (link.isValid())
        filter.link = model_->Rows().Links().at(static_cast<std::size_t>(link.toInt()));
    const int function = function_->currentData().toInt();
    if (function >= 0)
        filter.function = function;
    filter.errorsOnly = errorsOnly_->isChecked();
    filter.fault = ParseFaultFilter(fault_->currentText().toStdString());

    QScrollBar* bar = table_->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    model_->Rows().SetFilter(filter);
    if (following)
        table_->scrollToBottom();
    message_.clear();
    RefreshStatus();
    return true;
}

void TrafficMonitorWindow::SetPaused(bool paused)
{
    pause_->setChecked(paused);
    pause_->setText(paused ? "&Resume" : "&Pause");
    QScrollBar* bar = table_->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    model_->Rows().SetPaused(paused);
    if (!paused && following)
        table_->scrollToBottom();
    RefreshStatus();
}

void TrafficMonitorWindow::Clear()
{
    sink_->TakePending();
    model_->Rows().Clear();
    RefreshStatus();
}

void TrafficMonitorWindow::CopyRows()
{
    std::vector<std::size_t> rows;
    for (const QModelIndex& index : table_->selectionModel()->selectedRows())
        rows.push_back(static_cast<std::size_t>(index.row()));
    std::sort(rows.begin(), rows.end());
    if (rows.empty())
        return;
    QApplication::clipboard()->setText(Text(model_->Rows().CopyText(rows, bytes_->isChecked())));
}

void TrafficMonitorWindow::ShowBytes(bool on)
{
    if (bytes_->isChecked() != on)
        bytes_->setChecked(on);
    table_->setColumnHidden(TrafficMonitorModel::kBytes, !on);
}

bool TrafficMonitorWindow::StartCapture(const QString& path, QString& error)
{
    std::string why;
    std::shared_ptr<CaptureFile> capture = CaptureFile::Open(path.toStdString(), tap_.Clock(), why);
    if (!capture) {
        error = QString("Capture not started: %1").arg(Text(why));
        return false;
    }
    StopCapture();
    capture_ = std::move(capture);
    tap_.AddSink(capture_);
    captureButton_->setText("Stop &Capture");
    message_.clear();
    RefreshStatus();
    return true;
}

void TrafficMonitorWindow::StopCapture()
{
    if (!capture_)
        return;
    tap_.RemoveSink(capture_);
    const QString path = Text(capture_->Path());
    const std::string error = capture_->Error();
    capture_.reset();  // closes the file
    if (captureButton_)
        captureButton_->setText("Start &Capture...");
    Report(error.empty() ? QString("Capture %1 closed").arg(path)
                         : QString("Capture %1 stopped: %2").arg(path, Text(error)));
}

bool TrafficMonitorWindow::SaveCapture(const QString& path, QString& error)
{
    // The capture is written to a scratch file first, then put in place by the program's one
    // atomic writer: the target is whole or untouched, a link stays a link, the mode stays.
    QTemporaryFile scratch(QDir::tempPath() + "/kelvaro64-capture-XXXXXX.pcapng");
    if (!scratch.open()) {
        error = QString("%1 not saved: %2").arg(path, scratch.errorString());
        return false;
    }
    const std::string scratchPath = scratch.fileName().toStdString();
    scratch.close();
    std::string why;
    {
        std::unique_ptr<CaptureFile> capture = CaptureFile::Open(scratchPath, tap_.Clock(), why);
        if (capture) {
            const TrafficMonitorModel& rows = model_->Rows();
            std::vector<TappedFrame> slice;
            for (std::size_t i = 0; i < rows.KeptCount() && capture->Error().empty(); i += kSaveSlice) {
                slice.clear();
                for (std::size_t k = i; k < std::min(rows.KeptCount(), i + kSaveSlice); ++k)
                    slice.push_back(rows.Kept(k));
                capture->Take(slice);
            }
            why = capture->Error();
        }
    }  // closed here
    if (why.empty()) {
        const auto bytes = ReadWholeFile(scratchPath, kSaveLimit, &why);
        if (bytes)
            WriteFileAtomically(path.toStdString(), *bytes, &why);
    }
    if (!why.empty()) {
        error = QString("%1 not saved: %2").arg(path, Text(why));
        return false;
    }
    return true;
}

bool TrafficMonitorWindow::StartLog(const QString& path, QString& error)
{
    std::string why;
    std::shared_ptr<TrafficJsonLog> log = TrafficJsonLog::Open(path.toStdString(), tap_.Clock(), {}, why);
    if (!log) {
        error = QString("JSON log not started: %1").arg(Text(why));
        return false;
    }
    StopLog();
    log_ = std::move(log);
    tap_.AddSink(log_);
    logButton_->setText("Stop JSON &Log");
    message_.clear();
    RefreshStatus();
    return true;
}

void TrafficMonitorWindow::StopLog()
{
    if (!log_)
        return;
    tap_.RemoveSink(log_);
    const QString path = Text(log_->Path());
    const std::string error = log_->Error();
    log_.reset();
    if (logButton_)
        logButton_->setText("Start JSON &Log...");
    Report(error.empty() ? QString("JSON log %1 closed").arg(path)
                         : QString("JSON log %1 stopped: %2").arg(path, Text(error)));
}

QString TrafficMonitorWindow::AskFileName(const QString& title, const QString& filter)
{
    if (askFileName)
        return askFileName(title, filter);
    return QFileDialog::getSaveFileName(this, title, QString(), filter);
}

void TrafficMonitorWindow::Report(const QString& text)
{
    message_ = text;
    RefreshStatus();
}

void TrafficMonitorWindow::RefreshStatus()
{
    const TrafficMonitorModel& rows = model_->Rows();
    QString text = QString("%1 rows shown of %2 kept").arg(rows.ShownCount()).arg(rows.KeptCount());
    if (rows.Paused())
        text += QString(" · paused, %1 waiting").arg(rows.HeldCount());
    // Frames lost before they reached the rows: the engine's queue when the tap fell behind,
    // the sink when this window did.
    text += QString(" · dropped: %1 by the row limit, %2 before the window")
                .arg(rows.DroppedRows())
                .arg(tap_.Dropped() - tapDroppedAtOpen_ + sink_->Dropped());
    if (capture_)
        text += QString(" · capturing to %1 (%2 packets)").arg(Text(capture_->Path())).arg(capture_->Packets());
    if (log_)
        text += QString(" · logging to %1").arg(Text(log_->Path()));
    if (!message_.isEmpty())
        text += " · " + message_;
    if (status_->text() != text)
        status_->setText(text);
}

} // namespace monitor

#include "view/CKelvaro32View.h"

#include "document/AliasTable.h"
#include "document/CKelvaro32Doc.h"
#include "document/AnsiQString.h"
#include "document/FontConversion.h"
#include "view/PointEditing.h"
#include "view/PointEditingDialog.h"
#include "view/Workspace.h"

#include <QAbstractSlider>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QEvent>
#include <QHelpEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPrinter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimerEvent>
#include <QToolTip>

#include <algorithm>

namespace {

const char* const kPointTypeTexts[] = {"01: COIL STATUS", "02: INPUT STATUS", "03: HOLDING REGISTER",
                                       "04: INPUT REGISTER"};

QColor ToQColor(Colour c)
{
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}

QRect ToQRect(const layout::Rect& r)
{
    return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1));
}

} // namespace

CKelvaro32View::CKelvaro32View(CKelvaro32Doc* doc, Workspace& workspace, QWidget* parent)
    : QWidget(parent), doc_(doc), model_(*doc, workspace)
{
    // Every paint fills its whole region itself; refreshes repaint only changed items.
    setAttribute(Qt::WA_OpaquePaintEvent);
    doc_->AttachView(this);
    MeasureHeader();
    SetItemFont(doc_->font, false);
    hbar_ = new QScrollBar(Qt::Horizontal, this);
    hbar_->setRange(0, 0);
    hbar_->setSingleStep(1);
    hbar_->setPageStep(1);
    // The view moves only at the end of a thumb drag; while dragging, the thumb follows the mouse.
    hbar_->setTracking(false);
    connect(hbar_, &QAbstractSlider::actionTriggered, this, &CKelvaro32View::OnScrollAction);
    connect(hbar_, &QAbstractSlider::sliderReleased, this,
            [this] { Scroll(layout::ScrollCode::ThumbPosition, hbar_->sliderPosition()); });
    // "Scroll here" of the bar's context menu sets the value without an action; the view's own
    // moves are made with the bar's signals blocked, so any value seen here came from elsewhere.
    connect(hbar_, &QAbstractSlider::valueChanged, this, [this] { Scroll(layout::ScrollCode::Other); });
    layout_.clientWidth = width();
    layout_.clientHeight = ClientHeight();
}

CKelvaro32View::~CKelvaro32View()
{
    if (refreshTimer_)
        killTimer(refreshTimer_);
    doc_->DetachView(this);
}

// ---- Metrics ----------------------------------------------------------------------------------

void CKelvaro32View::MeasureHeader()
{
    headerFont_ = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFontMetrics fm(headerFont_);
    layout_.headerW = fm.averageCharWidth();
    layout_.headerH = fm.height();
}

void CKelvaro32View::SetItemFont(const LogFont& font, bool useMaxWidth)
{
    itemLogFont_ = font;
    itemFont_ = FontFromLogFont(font);
    // Integral advances, so that n characters are n * cw wide as the columns assume.
    itemFont_.setHintingPreference(QFont::PreferFullHinting);
    const QFontMetrics fm(itemFont_);
    layout_.cw = useMaxWidth ? fm.maxWidth() : fm.averageCharWidth();
    layout_.lh = fm.height();
}

int CKelvaro32View::ClientHeight() const
{
    return height() - (hbar_ ? hbar_->sizeHint().height() : 0);
}

int CKelvaro32View::ColumnChars() const
{
    return layout::ItemChars(doc_->pointType, model_.DisplayFormat(), valuefmt::AliasWidth(Services().Aliases()));
}

void CKelvaro32View::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int barHeight = hbar_->sizeHint().height();
    hbar_->setGeometry(0, height() - barHeight, width(), barHeight);
    layout_.clientWidth = width();
    layout_.clientHeight = ClientHeight();
    UpdateScrollRange();
}

void CKelvaro32View::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    OnViewDoubleClick(*this, at.x(), at.y());
    QWidget::mouseDoubleClickEvent(event);
}

void CKelvaro32View::contextMenuEvent(QContextMenuEvent* event)
{
    const int point = trafficMode_ ? -1 : HitTest(event->pos());
    if (point < 0)
        return QWidget::contextMenuEvent(event);
    QMenu* menu = PointMenu(point, this);
    menu->exec(event->globalPos());
    delete menu;
}

QMenu* CKelvaro32View::PointMenu(int pointIndex, QWidget* parent)
{
    const behaviour::TrendPoint point = PointAt(pointIndex);
    auto* menu = new QMenu(parent);
    connect(menu->addAction("Add &Generator..."), &QAction::triggered, this, [this, point] { emit AddGeneratorAsked(point); });
    connect(menu->addAction("Add to &Trend"), &QAction::triggered, this, [this, point] { emit AddToTrendAsked(point); });
    return menu;
}

behaviour::TrendPoint CKelvaro32View::PointAt(int pointIndex) const
{
    using behaviour::Encoding;
    const pointedit::EditPlan plan = pointedit::PlanEdit(*doc_, DisplayFormat(), EnronAppliesNow(), pointIndex);
    behaviour::TrendPoint p;
    p.unit = doc_->deviceId;
    p.type = doc_->pointType;
    p.address = doc_->StartAddress() + static_cast<std::uint32_t>(plan.reg);
    if (p.type == 1 || p.type == 2) {
        p.value = Encoding::Bit;
        return p;
    }
    const regval::ValueLayout& layout = regval::LayoutOf(plan.format);
    switch (layout.kind) {
    case regval::ValueKind::Float32: p.value = Encoding::Float32; break;
    case regval::ValueKind::Float64: p.value = Encoding::Float64; break;
    case regval::ValueKind::Long32: p.value = Encoding::Int32; break;
    default: p.value = Encoding::Uint16; break;
    }
    p.swapped = layout.registers > 1 && !layout.lowWordFirst;
    return p;
}

void CKelvaro32View::UpdateScrollRange()
{
    layout_.clientHeight = ClientHeight();
    const QSignalBlocker block(hbar_);
    hbar_->setRange(0, layout_.ScrollMax(doc_->length));
}

// ---- Block registration and the header --------------------------------------------------------

void CKelvaro32View::RegisterBlock()
{
    model_.RegisterBlock();
}

bool CKelvaro32View::EnronAppliesNow() const
{
    return model_.EnronAppliesNow();
}

void CKelvaro32View::SetupHeader()
{
    headerWanted_ = true;
    if (deviceEdit_ || isVisible())
        CreateHeaderControls();
    ApplyBlockChange();
}

void CKelvaro32View::MakeHeaderControls()
{
    if (headerWanted_ && !deviceEdit_)
        CreateHeaderControls();
}

void CKelvaro32View::showEvent(QShowEvent* event)
{
    // Refreshing starts with the first show: a window never shown (all of the headless
    // program's) has nothing on screen to refresh, and thousands of timers would cost.
    if (!refreshTimer_)
        refreshTimer_ = startTimer(1000);
    MakeHeaderControls();
    QWidget::showEvent(event);
}

void CKelvaro32View::CreateHeaderControls()
{
    const int W = layout_.headerW, H = layout_.headerH;
    const bool visible = !trafficMode_;
    auto place = [&](QWidget* w, const layout::Rect& r, const char* id) {
        w->setObjectName(id);
        w->setGeometry(ToQRect(r));
        w->setVisible(visible);
    };
    auto makeEdit = [&](const layout::Rect& r, const char* id, void (CKelvaro32View::*onChange)(const QString&)) {
        auto* edit = new QLineEdit(this);
        place(edit, r, id);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textChanged, this, onChange);
        return edit;
    };
    if (!banner_) {
        banner_ = new QLabel(this);
        place(banner_, layout::BannerRect(W, H), "13");
    }
    if (!deviceEdit_)
        deviceEdit_ = makeEdit(layout::DeviceIdFieldRect(W, H), "6", &CKelvaro32View::OnDeviceIdChanged);
    FillDeviceId();
    if (!addressEdit_)
        addressEdit_ = makeEdit(layout::AddressFieldRect(W, H), "7", &CKelvaro32View::OnAddressChanged);
    FillAddress();
    if (!lengthEdit_)
        lengthEdit_ = makeEdit(layout::LengthFieldRect(W, H), "8", &CKelvaro32View::OnLengthChanged);
    FillLength();
    if (!typeList_) {
        typeList_ = new QComboBox(this);
        for (const char* text : kPointTypeTexts)
            typeList_->addItem(text);
        layout::Rect r = layout::PointTypeListRect(W, H);
        // A Qt combo box drops its list by itself; the closed box keeps its natural height.
        r.bottom = std::min(r.bottom, r.top + typeList_->sizeHint().height());
        place(typeList_, r, "1");
        typeList_->setCurrentIndex(std::clamp(int(doc_->pointType) - 1, 0, 3));
        // Every choice the user makes, also of the entry already selected (the ENRON rule runs
        // again); the view's own selection above and below runs nothing.
        connect(typeList_, &QComboBox::activated, this, &CKelvaro32View::OnPointTypeChanged);
    } else {
        typeList_->setCurrentIndex(std::clamp(int(doc_->pointType) - 1, 0, 3));
    }
}

void CKelvaro32View::FillDeviceId()
{
    deviceEdit_->setText(QString::fromStdString(model_.DeviceIdText()));
}

void CKelvaro32View::FillAddress()
{
    addressEdit_->setText(QString::fromStdString(model_.AddressText()));
}

void CKelvaro32View::FillLength()
{
    lengthEdit_->setText(QString::fromStdString(model_.LengthText()));
}

void CKelvaro32View::ApplyBlockChange()
{
    RegisterBlock();
    UpdateScrollRange();
    RepaintAll(true);
}

void CKelvaro32View::AfterHeaderEdit(DataViewModel::Edit edit)
{
    if (edit == DataViewModel::Edit::kRefused)
        return;
    if (edit == DataViewModel::Edit::kAppliedLengthCut && lengthEdit_) {
        const QSignalBlocker block(lengthEdit_);
        FillLength();
    }
    ApplyBlockChange();
}

void CKelvaro32View::OnDeviceIdChanged(const QString& text)
{
    AfterHeaderEdit(model_.EditDeviceId(text.toStdString()));
}

void CKelvaro32View::OnAddressChanged(const QString& text)
{
    AfterHeaderEdit(model_.EditAddress(text.toStdString()));
}

void CKelvaro32View::OnLengthChanged(const QString& text)
{
    AfterHeaderEdit(model_.EditLength(text.toStdString()));
}

void CKelvaro32View::OnPointTypeChanged(int index)
{
    AfterHeaderEdit(model_.SelectPointType(index));
}

bool CKelvaro32View::eventFilter(QObject* watched, QEvent* event)
{
    // Leaving a field shows the document's value again, so refused text disappears.
    if (event->type() == QEvent::FocusOut) {
        if (watched == deviceEdit_)
            FillDeviceId();
        else if (watched == addressEdit_)
            FillAddress();
        else if (watched == lengthEdit_)
            FillLength();
    }
    return QWidget::eventFilter(watched, event);
}

// ---- Refresh ----------------------------------------------------------------------------------

QString CKelvaro32View::CurrentBannerText() const
{
    if (Services().NoConnectionOpen())
        return QStringLiteral("* * * NOT CONNECTED! * * *");
    return {};
}

void CKelvaro32View::RepaintAll(bool erase)
{
    if (erase || trafficMode_) {
        // The erase empties the cache: the next paint draws every item anew.
        for (auto& entry : cache_)
            entry.clear();
        cacheValid_ = false;
        update();
    } else {
        RefreshItems();
    }
}

void CKelvaro32View::OnRefreshTimer()
{
    bannerVisiblePhase_ = !bannerVisiblePhase_;
    if (banner_)
        banner_->setText(bannerVisiblePhase_ ? CurrentBannerText() : QString());
    if (trafficMode_)
        update();
    else
        RefreshItems();
}

void CKelvaro32View::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == refreshTimer_)
        OnRefreshTimer();
    QWidget::timerEvent(event);
}

QRect CKelvaro32View::ItemRect(int k, int chars) const
{
    const layout::Pos p = layout_.ItemPosition(k);
    // maxWidth bounds every character, so the rectangle covers the text in any font.
    return QRect(p.x, p.y, chars * QFontMetrics(itemFont_).maxWidth() + 1, layout_.lh);
}

const std::string& CKelvaro32View::CachedItem(int k) const
{
    static const std::string none;
    return cache_.empty() ? none : cache_[static_cast<std::size_t>(k)];
}

void CKelvaro32View::FormatAllIntoCache()
{
    cache_.resize(kRegisterWords);
    const bool enron = Services().EnronMode();
    const AliasTable& aliases = Services().Aliases();
    const int length = std::min<int>(doc_->length, kRegisterWords);
    int format = model_.DisplayFormat();   // the ENRON rule may set it
    for (int k = 0; k < kRegisterWords; ++k) {
        auto& entry = cache_[static_cast<std::size_t>(k)];
        if (k >= layout_.firstShown && k < length)
            valuefmt::FormatItem(entry, *doc_, k, format, enron, aliases);
        else
            entry.clear();
    }
    model_.SetDisplayFormat(format);
    TakeMarks(marks_);
    cacheValid_ = true;
}

bool CKelvaro32View::TakeMarks(std::vector<AccessMark>& into)
{
    const int length = std::min<int>(doc_->length, kRegisterWords);
    const std::uint32_t first = doc_->StartAddress();
    if (length <= 0 || !Services().AccessMarks(doc_->deviceId, doc_->pointType, first,
                                                first + static_cast<std::uint32_t>(length) - 1, into)) {
        into.clear();
        return false;
    }
    into.resize(static_cast<std::size_t>(length), AccessMark::kNone);
    return true;
}

AccessMark CKelvaro32View::ShownMark(int k) const
{
    return k >= 0 && static_cast<std::size_t>(k) < marks_.size() ? marks_[static_cast<std::size_t>(k)] : AccessMark::kNone;
}

QColor CKelvaro32View::AccessMarkColour(AccessMark mark)
{
    switch (mark) {
    case AccessMark::kRead: return QColor(0x00, 0x99, 0x00);       // green
    case AccessMark::kWritten: return QColor(0xE0, 0x00, 0x00);    // red
    case AccessMark::kNeverRead: return QColor(0x99, 0x99, 0x99);  // grey
    case AccessMark::kNone: break;
    }
    return {};
}

QString CKelvaro32View::AccessToolTip(QPoint pos) const
{
    const int k = HitTest(pos);
    if (k < 0)
        return {};
    return QString::fromStdString(
        Services().AccessText(doc_->deviceId, doc_->pointType, doc_->StartAddress() + static_cast<std::uint32_t>(k)));
}

bool CKelvaro32View::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QString text = AccessToolTip(help->pos());
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }
    return QWidget::event(event);
}

int CKelvaro32View::RefreshItems()
{
    if (trafficMode_)
        return 0;
    if (!cacheValid_) {
        update(); // an erase is pending: the paint formats everything
        return 0;
    }
    const bool enron = Services().EnronMode();
    const AliasTable& aliases = Services().Aliases();
    const int length = std::min<int>(doc_->length, kRegisterWords);
    const QRect client(0, 0, layout_.clientWidth, layout_.clientHeight);
    int rects = 0;
    int format = model_.DisplayFormat();
    // A mark changes with time alone (a read ages past 2 s): its item is repainted like a new text.
    const bool marksWereOn = !marks_.empty();
    const bool marksOn = TakeMarks(newMarks_);
    if (marksOn != marksWereOn) {
        marks_.swap(newMarks_);
        update();
    }
    for (int k = layout_.firstShown; k < length; ++k) {
        valuefmt::FormatItem(scratch_, *doc_, k, format, enron, aliases);
        model_.SetDisplayFormat(format);
        auto& cached = cache_[static_cast<std::size_t>(k)];
        const auto m = static_cast<std::size_t>(k);
        const bool markChanged = marksOn && marksWereOn && m < marks_.size() && marks_[m] != newMarks_[m];
        if (markChanged)
            marks_[m] = newMarks_[m];
        if (scratch_ == cached && !markChanged)
            continue;
        // Cover the old text as well as the new one: the paint blanks it first.
        const int chars = static_cast<int>(std::max(scratch_.size(), cached.size()));
        cached.swap(scratch_);
        const QRect r = ItemRect(k, chars);
        if (r.intersects(client)) {
            update(r);
            ++rects;
        }
    }
    return rects;
}

// ---- Painting ---------------------------------------------------------------------------------

void CKelvaro32View::paintEvent(QPaintEvent* event)
{
    paintedTraffic_ = trafficMode_;
    if (trafficMode_) {
        PaintTrafficMode(event);
        return;
    }
    PaintData(event);
}

void CKelvaro32View::PaintData(QPaintEvent* event)
{
    MeasureHeader();
    layout_.clientWidth = width();
    layout_.clientHeight = ClientHeight();
    layout_.MeasureForPaint();
    layout_.SetColumnWidth(ColumnChars());
    if (!cacheValid_)
        FormatAllIntoCache();

    const int W = layout_.headerW, H = layout_.headerH;
    const QRect dirty = event->rect();
    const int areaTop = layout::DataAreaTop(H);
    QPainter p(this);

    // Header: the system window colour, the four texts in the default font.
    const QRect header(0, 0, width(), areaTop);
    if (dirty.intersects(header)) {
        p.fillRect(header & dirty, palette().color(QPalette::Base));
        p.setPen(palette().color(QPalette::Text));
        const QFontMetrics fm(p.font());
        auto text = [&](layout::Pos pos, const char* s) { p.drawText(pos.x, pos.y + fm.ascent(), QString::fromLatin1(s)); };
        text(layout::DeviceIdTextPos(W, H), "Device Id:");
        text(layout::AddressTextPos(W, H), "Address:");
        text(layout::LengthTextPos(W, H), "Length:");
        text(layout::PointTypeTextPos(W, H), "MODBUS Point Type");
    }

    // Data area in the document's background colour, then the items that meet the region.
    const QRect data(0, areaTop, width(), std::max(0, height() - areaTop));
    p.fillRect(data & dirty, ToQColor(doc_->background));
    p.setFont(itemFont_);
    p.setPen(ToQColor(doc_->foreground));
    const QFontMetrics fm(itemFont_);
    const int ascent = fm.ascent();
    const int maxWidth = fm.maxWidth();
    const int length = std::min<int>(doc_->length, kRegisterWords);
    const QRegion region = event->region();
    for (int k = layout_.firstShown; k < length; ++k) {
        const layout::Pos pos = layout_.ItemPosition(k);
        if (pos.x > dirty.right())
            break; // columns only move right from here
        const std::string& item = cache_[static_cast<std::size_t>(k)];
        // Long float texts run into the next column; redraw them wherever they reach.
        const int reach = std::max(layout_.columnWidth, static_cast<int>(item.size()) * maxWidth) + 1;
        if (!region.intersects(QRect(pos.x, pos.y, reach, layout_.lh)))
            continue;
        const AccessMark mark = ShownMark(k);
        if (mark == AccessMark::kNone) {
            p.drawText(pos.x, pos.y + ascent, QStringFromAnsi(item));
            continue;
        }
        // The label in the mark's colour, the value after it as always.
        label_.clear();
        valuefmt::AppendLabel(label_, doc_->pointType, doc_->StartAddress() + static_cast<unsigned>(k),
                              Services().Aliases());
        const std::size_t split = std::min(label_.size(), item.size());
        const QString labelText = QStringFromAnsi(std::string_view(item).substr(0, split));
        p.setPen(AccessMarkColour(mark));
        p.drawText(pos.x, pos.y + ascent, labelText);
        p.setPen(ToQColor(doc_->foreground));
        p.drawText(pos.x + fm.horizontalAdvance(labelText), pos.y + ascent,
                   QStringFromAnsi(std::string_view(item).substr(split)));
    }
}

// ---- Scrolling --------------------------------------------------------------------------------

void CKelvaro32View::Scroll(layout::ScrollCode code, int thumb)
{
    layout_.clientHeight = ClientHeight();
    const int pos = layout_.Scroll(code, thumb, doc_->length);
    {
        const QSignalBlocker block(hbar_);
        hbar_->setValue(pos);
        hbar_->setSliderPosition(pos);
    }
    RepaintAll(true);
}

void CKelvaro32View::OnScrollAction(int action)
{
    using SC = layout::ScrollCode;
    switch (action) {
    case QAbstractSlider::SliderSingleStepAdd: Scroll(SC::LineRight); break;
    case QAbstractSlider::SliderSingleStepSub: Scroll(SC::LineLeft); break;
    case QAbstractSlider::SliderPageStepAdd: Scroll(SC::PageRight); break;
    case QAbstractSlider::SliderPageStepSub: Scroll(SC::PageLeft); break;
    case QAbstractSlider::SliderMove:
        if (hbar_->isSliderDown())
            return; // thumb tracking: the release scrolls
        Scroll(SC::Other);
        break;
    // The edges and the rest leave the first shown point, and the bar is put back where the view is.
    default: Scroll(SC::Other); break;
    }
}

int CKelvaro32View::HitTest(QPoint pos) const
{
    if (trafficMode_ || paintedTraffic_)
        return -1;
    return layout_.HitTest(pos.x(), pos.y(), doc_->length);
}

// ---- Printing ---------------------------------------------------------------------------------

int CKelvaro32View::PrintItems(QPrinter& printer)
{
    QPainter p;
    if (!p.begin(&printer))
        return 0;
    // Lay the page out in screen pixels (96 per inch) so that the item font keeps its size.
    const double scale = printer.resolution() / 96.0;
    p.scale(scale, scale);
    const QRectF page = printer.pageLayout().paintRectPixels(printer.resolution());
    const int pageWidth = static_cast<int>(page.width() / scale);
    const int pageHeight = static_cast<int>(page.height() / scale);
    p.setFont(itemFont_);
    p.setPen(Qt::black);
    const int lh = std::max(1, QFontMetrics(itemFont_).height());
    const int columnWidth = std::max(1, ColumnChars() * QFontMetrics(itemFont_).averageCharWidth() + lh);
    const int rows = std::max(1, pageHeight / lh);
    const int columns = std::max(1, pageWidth / columnWidth);
    const int perPage = rows * columns;
    const int length = std::min<int>(doc_->length, kRegisterWords);
    const bool enron = Services().EnronMode();
    const int ascent = QFontMetrics(itemFont_).ascent();
    int pages = 0;
    int format = model_.DisplayFormat();
    std::string item;
    for (int first = 0; first < length; first += perPage) {
        if (pages > 0)
            printer.newPage();
        ++pages;
        for (int k = first; k < std::min(length, first + perPage); ++k) {
            const int n = k - first;
            valuefmt::FormatItem(item, *doc_, k, format, enron, Services().Aliases());
            p.drawText(n / rows * columnWidth, n % rows * lh + ascent, QStringFromAnsi(item));
        }
    }
    model_.SetDisplayFormat(format);
    p.end();
    return pages;
}

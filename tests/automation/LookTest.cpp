// Fonts, Background and ForeGround through the real application, with the real dialogs.
#include "app/CChildFrame.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "document/CKelvaro32Doc.h"
#include "document/FontConversion.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QColorDialog>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QMdiArea>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

namespace {

/// Acts on the dialog of type D once it runs modally (the command blocks in its exec()).
template <class D>
void WhenModal(std::function<void(D*)> act) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(dialog);
        }
    });
    timer->start(5);
}

class Look : public ::testing::Test {
protected:
    std::unique_ptr<CKelvaro32App> Start() {
        AppOptions o;
        o.settingsFolder = dir.path().toStdString() + "/Orvane";
        o.executablePath = dir.path().toStdString() + "/kelvaro64";
        auto app = std::make_unique<CKelvaro32App>(o);
        EXPECT_TRUE(app->InitInstance({}));
        return app;
    }
    static void Activate(CMainFrame& frame, CKelvaro32Doc* doc) {
        for (CChildFrame* child : frame.Children())
            if (child->Document() == doc)
                frame.MdiArea()->setActiveSubWindow(child);
        ASSERT_EQ(frame.ActiveDocument(), doc);
    }
    /// Share of the window's pixels in `colour`, as it paints now.
    static double ShareShown(CKelvaro32Doc* doc, CMainFrame& frame, const QColor& colour) {
        for (CChildFrame* child : frame.Children()) {
            if (child->Document() != doc)
                continue;
            const QImage image = child->View()->grab().toImage();
            qint64 hits = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    hits += image.pixelColor(x, y).rgb() == colour.rgb();
            return image.isNull() ? 0.0 : double(hits) / (double(image.width()) * image.height());
        }
        return 0.0;
    }
    QTemporaryDir dir;
};

TEST_F(Look, ColourCommandsReachEveryWindowAndMarkOnlyTheActiveDocument) {
    struct Case { int command; QColor colour; bool background; };
    const Case cases[] = {
        {cmd::Background, QColor(0x12, 0x34, 0x56), true},
        {cmd::Foreground, QColor(0xAB, 0xCD, 0xEF), false},
    };
    for (const Case& c : cases) {
        auto app = Start();
        CMainFrame& frame = *app->mainFrame;
        CKelvaro32Doc* a = app->NewDocument();
        CKelvaro32Doc* b = app->NewDocument();
        CKelvaro32Doc* d = app->NewDocument();
        Activate(frame, b);
        const Colour expected = 0x563412 * c.background + 0xEFCDAB * !c.background;
        WhenModal<QColorDialog>([&](QColorDialog* dialog) {
            dialog->setCurrentColor(c.colour);
            dialog->accept();
        });
        ASSERT_TRUE(frame.RunCommand(c.command));
        for (CKelvaro32Doc* doc : {a, b, d}) {
            EXPECT_EQ(c.background ? doc->background : doc->foreground, expected);
            EXPECT_EQ(doc->IsModified(), doc == b);
            if (c.background) {
                EXPECT_GT(ShareShown(doc, frame, c.colour), 0.3);
            }
        }
        EXPECT_EQ(c.background ? frame.Look().background : frame.Look().foreground, expected);
        // The next window starts with it.
        CKelvaro32Doc* later = app->NewDocument();
        EXPECT_EQ(c.background ? later->background : later->foreground, expected);
        EXPECT_FALSE(later->IsModified());
    }
}

TEST_F(Look, BothColoursTravelTogether) {
    // Every document takes both colours of the active one, not only the one just chosen.
    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    CKelvaro32Doc* a = app->NewDocument();
    CKelvaro32Doc* b = app->NewDocument();
    b->foreground = 0x0000FF;   // say, from its file
    Activate(frame, b);
    WhenModal<QColorDialog>([](QColorDialog* dialog) {
        dialog->setCurrentColor(QColor(0, 0x80, 0));
        dialog->accept();
    });
    ASSERT_TRUE(frame.RunCommand(cmd::Background));
    EXPECT_EQ(a->foreground, 0x0000FFu);
    EXPECT_EQ(a->background, 0x008000u);
    EXPECT_EQ(frame.Look().foreground, 0x000000u);   // only the chosen colour becomes a default
}

TEST_F(Look, FontCommandSetsTheDefaultAndLeavesOtherDocumentsFonts) {
    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    CKelvaro32Doc* a = app->NewDocument();
    CKelvaro32Doc* b = app->NewDocument();
    LogFont stored;   // as a file might hold it
    std::strcpy(stored.faceName, "DejaVu Serif");
    stored.height = -19;
    b->font = stored;
    Activate(frame, b);
    QFont seeded;
    QFont chosen("DejaVu Sans", 12);
    chosen.setBold(true);
    WhenModal<QFontDialog>([&](QFontDialog* dialog) {
        seeded = dialog->currentFont();
        dialog->setCurrentFont(chosen);
        dialog->accept();
    });
    ASSERT_TRUE(frame.RunCommand(cmd::Fonts));
    // The dialog started from the document's font.
    EXPECT_EQ(seeded.family(), "DejaVu Serif");
    EXPECT_EQ(LogFontFromQFont(seeded).height, -19);
    EXPECT_EQ(QString::fromLatin1(b->font.faceName), "DejaVu Sans");
    EXPECT_EQ(b->font.height, -16);
    EXPECT_EQ(b->font.weight, 700);
    EXPECT_EQ(frame.Look().font, b->font);
    EXPECT_EQ(a->font, LogFont{});
    EXPECT_FALSE(a->IsModified());
    EXPECT_FALSE(b->IsModified());
    // Every window draws with the chosen font, the widest character setting the cell.
    const QFontMetrics metrics(FontFromLogFont(b->font));
    for (CChildFrame* child : frame.Children()) {
        child->View()->grab();   // and keep it through a paint, whatever the view's own document holds
        EXPECT_EQ(child->View()->Layout().lh, metrics.height());
        EXPECT_EQ(child->View()->Layout().cw, metrics.maxWidth());
    }
    EXPECT_EQ(app->NewDocument()->font, b->font);
}

// OK without a change turned every window italic ("Oblique" was pre-selected) and renamed
// "Courier" to the face it resolved to, in kv64comm2.cfg and saved documents. The dialog starts
// on the record's real style, and OK without a change leaves the 60-byte record as it was.
TEST_F(Look, OkWithoutAChangeKeepsTheRecordByteForByte) {
    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    auto record = [](const char* face, std::int32_t height, std::int32_t weight, std::uint8_t italic,
                     std::uint8_t pitchAndFamily) {
        LogFont f;
        std::memset(f.faceName, 0, sizeof f.faceName);
        std::strcpy(f.faceName, face);
        f.height = height;
        f.weight = weight;
        f.italic = italic;
        f.pitchAndFamily = pitchAndFamily;
        f.quality = 2;   // fields no dialog shows must survive as well
        f.charSet = 1;
        return f;
    };
    struct Case { const char* name; LogFont font; bool italic; bool bold; };
    const Case cases[] = {
        {"built-in Courier", LogFont{}, false, false},
        {"Courier 16 px", record("Courier", -16, 400, 0, 0x31), false, false},
        {"bold italic serif", record("DejaVu Serif", -19, 700, 1, 0x12), true, true},
        {"oblique mono", record("DejaVu Sans Mono", -13, 400, 1, 0x31), true, false},
        {"a face this machine lacks", record("Lucida Console", -15, 400, 0, 0x31), false, false},
        {"cell height, odd weight", record("DejaVu Sans", 18, 500, 0, 0x22), false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CKelvaro32Doc* doc = app->NewDocument();
        doc->font = c.font;
        frame.Look().font = c.font;
        Activate(frame, doc);
        QFont started;
        WhenModal<QFontDialog>([&](QFontDialog* dialog) {
            started = dialog->currentFont();
            dialog->accept();
        });
        ASSERT_TRUE(frame.RunCommand(cmd::Fonts));
        EXPECT_EQ(started.italic(), c.italic);
        EXPECT_EQ(started.weight() >= QFont::DemiBold, c.bold);
        EXPECT_EQ(LogFontToBytes(doc->font), LogFontToBytes(c.font));
        EXPECT_EQ(LogFontToBytes(frame.Look().font), LogFontToBytes(c.font));
    }
    // A change takes only what changed: a new size keeps the face, weight and flags.
    CKelvaro32Doc* doc = app->NewDocument();
    doc->font = LogFont{};
    Activate(frame, doc);
    WhenModal<QFontDialog>([&](QFontDialog* dialog) {
        QFont f = dialog->currentFont();
        f.setPointSize(15);
        dialog->setCurrentFont(f);
        dialog->accept();
    });
    ASSERT_TRUE(frame.RunCommand(cmd::Fonts));
    LogFont expected;
    expected.height = -20;
    EXPECT_EQ(LogFontToBytes(doc->font), LogFontToBytes(expected));
}

TEST_F(Look, CancelChangesNothing) {
    auto app = Start();
    CMainFrame& frame = *app->mainFrame;
    CKelvaro32Doc* a = app->NewDocument();
    const DisplayDefaults before = frame.Look();
    for (int command : {cmd::Fonts, cmd::Background, cmd::Foreground}) {
        if (command == cmd::Fonts)
            WhenModal<QFontDialog>([](QFontDialog* d) { d->setCurrentFont(QFont("DejaVu Serif", 30)); d->reject(); });
        else
            WhenModal<QColorDialog>([](QColorDialog* d) { d->setCurrentColor(Qt::red); d->reject(); });
        ASSERT_TRUE(frame.RunCommand(command));
    }
    EXPECT_EQ(a->font, before.font);
    EXPECT_EQ(a->foreground, before.foreground);
    EXPECT_EQ(a->background, before.background);
    EXPECT_FALSE(a->IsModified());
    EXPECT_EQ(frame.Look().font, before.font);
    EXPECT_EQ(frame.Look().background, before.background);
}

TEST_F(Look, ChoicesOutliveARestart) {
    LogFont chosenFont;
    {
        auto app = Start();
        app->NewDocument();
        WhenModal<QFontDialog>([](QFontDialog* d) { d->setCurrentFont(QFont("DejaVu Sans Mono", 11)); d->accept(); });
        ASSERT_TRUE(app->mainFrame->RunCommand(cmd::Fonts));
        WhenModal<QColorDialog>([](QColorDialog* d) { d->setCurrentColor(QColor(1, 2, 3)); d->accept(); });
        ASSERT_TRUE(app->mainFrame->RunCommand(cmd::Background));
        chosenFont = app->mainFrame->Look().font;
        app->Shutdown();
    }
    auto app = Start();
    CKelvaro32Doc* doc = app->NewDocument();
    EXPECT_EQ(doc->font, chosenFont);
    EXPECT_EQ(doc->background, 0x030201u);
    EXPECT_EQ(QFontInfo(FontFromLogFont(doc->font)).family(), "DejaVu Sans Mono");
}

TEST_F(Look, CommandsNeedADocument) {
    auto app = Start();
    for (int command : {cmd::Fonts, cmd::Background, cmd::Foreground})
        EXPECT_FALSE(app->mainFrame->Commands().State(command).enabled);
    app->NewDocument();
    for (int command : {cmd::Fonts, cmd::Background, cmd::Foreground})
        EXPECT_TRUE(app->mainFrame->Commands().State(command).enabled);
}

}  // namespace

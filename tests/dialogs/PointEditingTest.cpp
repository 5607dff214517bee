// Point editing: the dialog and members a double-clicked point gets, and what Update stores.
#include "ModalDriver.h"

#include "app/SettingsStore.h"
#include "document/AliasTable.h"
#include "document/AnsiQString.h"
#include "document/CKelvaro32Doc.h"
#include "view/PointEditing.h"
#include "view/PointEditingDialog.h"
#include "view/ValueFormat.h"

#include <QRadioButton>
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <set>
#include <vector>

using namespace pointedit;
using namespace testdrive;

namespace {

struct Block {
    int pointType = 3;
    int start = 1;
    int length = 10;
};

struct EditFixture : ::testing::Test {
    EditFixture() : doc(DocumentContext{}) {}
    void Use(const Block& b)
    {
        doc.pointType = static_cast<std::uint8_t>(b.pointType);
        doc.startAddress = static_cast<std::uint16_t>(b.start);
        doc.length = static_cast<std::uint16_t>(b.length);
        for (int k = 0; k < kRegisterWords; ++k)
            doc.SetWord(k, 0);
    }
    std::vector<int> Words(int from, int count) const
    {
        std::vector<int> w;
        for (int k = 0; k < count; ++k)
            w.push_back(doc.Word(from + k));
        return w;
    }
    CKelvaro32Doc doc;
    AliasTable aliases;
};

} // namespace

TEST_F(EditFixture, DialogAndMembersByBlockAndFormat)
{
    struct Case {
        const char* name; Block block; int format; bool enron; int point; std::vector<int> words;
        DialogKind dialog; int reg; int address; std::int32_t intValue; float floatValue; int valueType;
    };
    const Case cases[] = {
        {"coil 00010:", {1, 1, 20}, kFloat, false, 9, {0, 0, 0, 0, 0, 0, 0, 0, 0, 5},
         DialogKind::kCoil, 9, 10, 5, 0, -1},
        {"decimal", {3, 40001, 10}, kDecimal, false, 2, {0, 0, 65535}, DialogKind::kRegister, 2, 40003, 65535, 0, 1},
        {"hex", {4, 1, 10}, kHex, false, 1, {0, 0x1234}, DialogKind::kHex, 1, 2, 0x1234, 0, -1},
        {"binary", {3, 1, 10}, kBinary, false, 1, {0, 5}, DialogKind::kBinary, 1, 2, 5, 0, -1},
        {"float, second of a pair", {3, 1, 10}, kFloat, false, 3, {0, 0, 0x0000, 0x4020},
         DialogKind::kFloat, 2, 3, 0, 2.5f, 2},
        {"float swapped", {3, 1, 10}, kFloatSwapped, false, 2, {0, 0, 0x4020, 0x0000},
         DialogKind::kFloat, 2, 3, 0, 2.5f, 3},
        {"long", {3, 1, 10}, kLong, false, 1, {0xFFFF, 0xFFFF}, DialogKind::kRegister, 0, 1, -1, 0, 6},
        {"long swapped", {3, 1, 10}, kLongSwapped, false, 0, {0x0001, 0x0000}, DialogKind::kRegister, 0, 1, 65536, 0, 7},
        {"float64 group start", {3, 1, 6}, kFloat64, false, 3, {0, 0, 0, 0x4004}, DialogKind::kFloat, 0, 1, 0, 2.5f, 4},
        {"float64 after the last group", {3, 1, 6}, kFloat64, false, 5, {}, DialogKind::kFloat, 4, 5, 0, 0, 4},
        {"float64 swapped, 0.1 rounded to single", {3, 1, 8}, kFloat64Swapped, false, 0,
         {0x3FB9, 0x9999, 0x9999, 0x999A}, DialogKind::kFloat, 0, 1, 0, 0.1f, 5},
        {"ENRON float at 7001", {3, 7001, 10}, kDecimal, true, 3, {0, 0, 0, 0, 0, 0, 0x0000, 0x3F80},
         DialogKind::kFloat, 6, 7004, 0, 1.0f, 9},
        {"ENRON long at 5001", {4, 5001, 10}, kFloat, true, 1, {0, 0, 0xFFFE, 0xFFFF},
         DialogKind::kRegister, 2, 5002, -2, 0, 10},
        // An ENRON format left from an earlier range edits as its 32-bit value at register i
        // rounded down to even, low word first.
        {"left-over ENRON float", {3, 100, 10}, kEnronFloat, false, 3, {0, 0, 0x0000, 0x4020},
         DialogKind::kFloat, 2, 102, 0, 2.5f, 9},
        {"left-over ENRON long", {4, 100, 10}, kEnronLong, false, 2, {0, 0, 0xFFFE, 0xFFFF},
         DialogKind::kRegister, 2, 102, -2, 0, 10},
        // An ENRON block longer than 500 points: the registers past word 999 read as 0.
        {"ENRON point past the memory", {3, 7001, 800}, kEnronFloat, true, 600, {}, DialogKind::kFloat, 1200, 7601, 0, 0, 9},
    };
    for (const Case& c : cases) {
        Use(c.block);
        for (std::size_t k = 0; k < c.words.size(); ++k)
            doc.SetWord(static_cast<int>(k), static_cast<std::uint16_t>(c.words[k]));
        const EditPlan p = PlanEdit(doc, c.format, c.enron, c.point);
        EXPECT_EQ(p.dialog, c.dialog) << c.name;
        EXPECT_EQ(p.reg, c.reg) << c.name;
        EXPECT_EQ(p.address, c.address) << c.name;
        EXPECT_EQ(p.intValue, c.intValue) << c.name;
        EXPECT_EQ(p.floatValue, c.floatValue) << c.name;
        EXPECT_EQ(p.valueType, c.valueType) << c.name;
    }
}

TEST_F(EditFixture, UpdateStoresAtTheDialogsAddressOnlyWhenTheValueFits)
{
    struct Case {
        const char* name; Block block; int format; bool enron; int point; std::int64_t address;
        std::int32_t intValue; float floatValue; bool stored; int from; std::vector<int> words;
    };
    const Case cases[] = {
        {"coil On", {1, 1, 20}, kDecimal, false, 9, 10, 1, 0, true, 9, {1}},
        {"coil left at 5", {1, 1, 20}, kDecimal, false, 9, 10, 5, 0, true, 9, {5}},
        {"decimal keeps the low 16 bits", {3, 1, 10}, kDecimal, false, 0, 3, 70000, 0, true, 2, {70000 & 0xFFFF}},
        {"decimal below the block", {3, 10, 10}, kDecimal, false, 0, 9, 1, 0, false, 0, {}},
        {"decimal past the block", {3, 10, 10}, kDecimal, false, 0, 20, 1, 0, false, 0, {}},
        {"float 2.5", {3, 1, 10}, kFloat, false, 3, 3, 0, 2.5f, true, 2, {0x0000, 0x4020}},
        {"float swapped 2.5", {3, 1, 10}, kFloatSwapped, false, 3, 3, 0, 2.5f, true, 2, {0x4020, 0x0000}},
        {"long, address 1 changed to 4", {3, 1, 10}, kLong, false, 0, 4, -2, 0, true, 2, {0xFFFE, 0xFFFF}},
        {"long swapped", {3, 1, 10}, kLongSwapped, false, 0, 1, 65537, 0, true, 0, {1, 1}},
        // A pair starting at the last point of a block of odd length has no room.
        {"float pair at the last point", {3, 1, 5}, kFloat, false, 4, 5, 0, 1.0f, false, 0, {}},
        {"float64 0.1 via single precision", {3, 1, 8}, kFloat64, false, 0, 1, 0, 0.1f, true, 0,
         {0x0000, 0xA000, 0x9999, 0x3FB9}},
        {"float64 without room", {3, 1, 6}, kFloat64, false, 4, 5, 0, 1.0f, false, 0, {}},
        {"float64 swapped", {3, 1, 8}, kFloat64Swapped, false, 4, 7, 0, 2.5f, true, 4, {0x4004, 0, 0, 0}},
        {"ENRON float 1.0", {3, 7001, 10}, kEnronFloat, true, 3, 7004, 0, 1.0f, true, 6, {0x0000, 0x3F80}},
        {"ENRON long", {3, 5001, 10}, kEnronLong, true, 0, 5010, 65536, 0, true, 18, {0, 1}},
        {"ENRON past the block", {3, 7001, 10}, kEnronFloat, true, 0, 7011, 0, 1.0f, false, 0, {}},
        {"ENRON past the memory", {3, 7001, 800}, kEnronFloat, true, 0, 7501, 0, 1.0f, false, 0, {}},
        // Left-over ENRON formats write like Long and Float: the pair at (A - S) rounded down.
        {"left-over ENRON float", {3, 100, 10}, kEnronFloat, false, 3, 103, 0, 2.5f, true, 2, {0x0000, 0x4020}},
        {"left-over ENRON long", {3, 100, 10}, kEnronLong, false, 0, 105, -2, 0, true, 4, {0xFFFE, 0xFFFF}},
        {"left-over ENRON float without room", {3, 100, 5}, kEnronFloat, false, 4, 104, 0, 1.0f, false, 0, {}},
    };
    for (const Case& c : cases) {
        Use(c.block);
        aliases.ClearAliases();
        const EditPlan p = PlanEdit(doc, c.format, c.enron, c.point);
        EXPECT_EQ(ApplyEdit(doc, aliases, p, c.address, c.intValue, c.floatValue, "Tag"), c.stored) << c.name;
        EXPECT_EQ(aliases.GetAlias(c.block.pointType, static_cast<int>(c.address)), c.stored ? "Tag" : "") << c.name;
        EXPECT_EQ(aliases.Entries().size(), c.stored ? 1u : 0u) << c.name;
        if (c.stored) {
            EXPECT_EQ(Words(c.from, static_cast<int>(c.words.size())), c.words) << c.name;
        } else {
            int nonZero = 0;
            for (int k = 0; k < kRegisterWords; ++k)
                nonZero += doc.Word(k) != 0;
            EXPECT_EQ(nonZero, 0) << c.name;
        }
    }
}

TEST_F(EditFixture, CoilDialogRunsAndStoresValueAndAlias)
{
    Use({1, 1, 20});
    aliases.SetAlias(1, 10, "Valve");
    QString title, alias, address;
    bool offShown = false;
    OnNextModal([&](QWidget* w) {
        title = w->windowTitle();
        address = Text(w, 1013);
        alias = Text(w, 1017);
        offShown = Control<QRadioButton>(w, 1015)->isChecked();
        Click(w, 1016);
        SetText(w, 1017, "Valve2");
        Click(w, 1);
    });
    EXPECT_TRUE(RunPointEditor(nullptr, doc, aliases, kDecimal, false, 9));
    EXPECT_EQ(title, "Write Coil");
    EXPECT_EQ(address, "10");
    EXPECT_EQ(alias, "Valve");
    EXPECT_TRUE(offShown);
    EXPECT_EQ(doc.Word(9), 1);
    EXPECT_EQ(aliases.GetAlias(1, 10), "Valve2");
}

TEST_F(EditFixture, CancelStoresNothing)
{
    Use({3, 1, 10});
    doc.SetWord(4, 7);
    OnNextModal([&](QWidget* w) {
        SetText(w, 1014, "99");
        SetText(w, 1015, "x");
        Click(w, 2);
    });
    EXPECT_FALSE(RunPointEditor(nullptr, doc, aliases, kDecimal, false, 4));
    EXPECT_EQ(doc.Word(4), 7);
    EXPECT_TRUE(aliases.Entries().empty());
}

TEST_F(EditFixture, EnronFloatThroughTheFloatDialog)
{
    Use({3, 7001, 10});
    QString address, value;
    OnNextModal([&](QWidget* w) {
        address = Text(w, 1013);
        value = Text(w, 1014);
        SetText(w, 1014, "1.0");
        Click(w, 1);
    });
    EXPECT_TRUE(RunPointEditor(nullptr, doc, aliases, kEnronFloat, true, 3));
    EXPECT_EQ(address, "7004");
    EXPECT_EQ(value, "0");
    EXPECT_EQ(Words(6, 2), (std::vector<int>{0x0000, 0x3F80}));
}

// Aliases are Windows-1252 bytes in kelvaro64.ali and in the view; the dialogs used to read and
// write them as UTF-8, so "Temp\xB0C" came back as "Temp\xEF\xBF\xBDC" after an Update without a
// change. Every byte 0x80..0xFF: the file's bytes, the dialog's text, the view's text and the
// file again after Update.
TEST_F(EditFixture, AliasBytesSurviveFileDialogViewAndFileAgain)
{
    // Independent of the code: the Windows-1252 characters of some bytes.
    const std::map<int, char16_t> known = {{0x80, u'\u20AC'}, {0x81, u'\u0081'}, {0x8A, u'\u0160'},
                                           {0x92, u'\u2019'}, {0x99, u'\u2122'}, {0x9F, u'\u0178'},
                                           {0xA0, u'\u00A0'}, {0xB0, u'\u00B0'}, {0xB3, u'\u00B3'},
                                           {0xFF, u'\u00FF'}};
    Use({3, 1, 10});
    std::set<char16_t> seen;
    for (int b = 0x80; b <= 0xFF; ++b) {
        SCOPED_TRACE(b);
        const std::string stored = std::string("Temp") + static_cast<char>(b) + "C";
        AliasTable written;
        written.SetAlias(3, 1, stored);
        const std::vector<std::uint8_t> file = EncodeAliasFile(written);
        aliases.ClearAliases();
        DecodeAliasFile(file, aliases);

        QString shown;
        OnNextModal([&](QWidget* w) {
            shown = Text(w, 1015);
            Click(w, 1);   // Update, nothing changed
        });
        ASSERT_TRUE(RunPointEditor(nullptr, doc, aliases, kDecimal, false, 0));
        ASSERT_EQ(shown.size(), 6);
        EXPECT_TRUE(shown.startsWith("Temp") && shown.endsWith("C")) << shown.toStdString();
        const char16_t c = shown[4].unicode();
        EXPECT_NE(c, u'\uFFFD');
        EXPECT_TRUE(seen.insert(c).second) << "two bytes show as the same character";
        if (known.count(b)) {
            EXPECT_EQ(c, known.at(b));
        }

        std::string item;
        int format = kDecimal;
        valuefmt::FormatItem(item, doc, 0, format, false, aliases);
        EXPECT_TRUE(QStringFromAnsi(item).startsWith(shown)) << "the view draws what the dialog shows";
        EXPECT_EQ(aliases.GetAlias(3, 1), stored);
        EXPECT_EQ(EncodeAliasFile(aliases), file);
    }
}

// Typed text is stored as Windows-1252; a character it has no byte for is refused with a clear
// message and the focus on the alias field, in every dialog, and nothing is stored.
TEST_F(EditFixture, TypedAliasIsStoredAsWindows1252OrRefused)
{
    struct Case { Block block; int format; int aliasId; };
    const Case dialogs[] = {
        {{1, 1, 10}, kDecimal, 1017},   // coil
        {{3, 1, 10}, kDecimal, 1015},   // register
        {{3, 1, 10}, kHex, 1015},
        {{3, 1, 10}, kBinary, 1026},
        {{3, 1, 10}, kFloat, 1015},
    };
    for (const Case& d : dialogs) {
        SCOPED_TRACE(d.aliasId + 100 * d.format);
        Use(d.block);
        aliases.ClearAliases();
        OnNextModal([&](QWidget* w) {
            // QTest types ASCII only; the edit takes the text the way a paste or an input method gives it.
            Control<QLineEdit>(w, d.aliasId)->setText(QString::fromUtf8("Flow m\u00B3 \u20AC"));
            Click(w, 1);
        });
        ASSERT_TRUE(RunPointEditor(nullptr, doc, aliases, d.format, false, 0));
        EXPECT_EQ(aliases.GetAlias(d.block.pointType, 1), "Flow m\xB3 \x80");

        aliases.ClearAliases();
        MessageCatcher box;
        QString focus;
        OnNextModal([&](QWidget* w) {
            Control<QLineEdit>(w, d.aliasId)->setText(QString::fromUtf8("Flow \u03A9"));
            box.Arm(w);
            Click(w, 1);
            focus = w->focusWidget() ? w->focusWidget()->objectName() : QString();
            Click(w, 2);
        });
        EXPECT_FALSE(RunPointEditor(nullptr, doc, aliases, d.format, false, 0));
        EXPECT_EQ(box.count, 1);
        EXPECT_NE(box.text.find("U+03A9"), std::string::npos) << box.text;
        EXPECT_EQ(focus, Name(d.aliasId));
        EXPECT_TRUE(aliases.Entries().empty());
    }
}

// A float point holding NaN or infinity showed "nan" / "inf" and Update refused that very text,
// so its alias could not be edited. The shown text, unchanged, keeps the value bit for bit (a NaN
// through the single-precision dialog would lose its payload); any other text is read as before.
TEST_F(EditFixture, FloatDialogKeepsANonNumberItShowedUnchanged)
{
    struct Case { const char* name; int format; std::vector<int> words; const char* shown; };
    const Case cases[] = {
        {"NaN with a payload", kFloat, {0x2345, 0x7FC1}, "nan"},
        {"negative NaN, swapped", kFloatSwapped, {0xFFC0, 0x0001}, "-nan"},
        {"infinity", kFloat, {0x0000, 0x7F80}, "inf"},
        {"minus infinity, swapped", kFloatSwapped, {0xFF80, 0x0000}, "-inf"},
        {"64-bit NaN with low bits", kFloat64, {0x0001, 0x0002, 0x0003, 0x7FF8}, "nan"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Use({3, 1, 10});
        aliases.ClearAliases();
        for (std::size_t k = 0; k < c.words.size(); ++k)
            doc.SetWord(static_cast<int>(k), static_cast<std::uint16_t>(c.words[k]));
        QString shown;
        MessageCatcher box;
        OnNextModal([&](QWidget* w) {
            shown = Text(w, 1014);
            SetText(w, 1015, "Tag");
            box.Arm(w);
            Click(w, 1);
            if (w->isVisible())
                Click(w, 2);
        });
        EXPECT_TRUE(RunPointEditor(nullptr, doc, aliases, c.format, false, 0));
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(box.count, 0) << box.text;
        EXPECT_EQ(Words(0, static_cast<int>(c.words.size())), c.words);
        EXPECT_EQ(aliases.GetAlias(3, 1), "Tag");
    }

    // Typing a new value over it still stores that value...
    Use({3, 1, 10});
    doc.SetWord(1, 0x7FC0);
    OnNextModal([&](QWidget* w) {
        SetText(w, 1014, "2.5");
        Click(w, 1);
    });
    EXPECT_TRUE(RunPointEditor(nullptr, doc, aliases, kFloat, false, 0));
    EXPECT_EQ(Words(0, 2), (std::vector<int>{0x0000, 0x4020}));
    // ...and "nan" is still no number for a point that holds one.
    MessageCatcher box;
    OnNextModal([&](QWidget* w) {
        SetText(w, 1014, "nan");
        box.Arm(w);
        Click(w, 1);
        Click(w, 2);
    });
    EXPECT_FALSE(RunPointEditor(nullptr, doc, aliases, kFloat, false, 0));
    EXPECT_EQ(box.count, 1);
    EXPECT_EQ(Words(0, 2), (std::vector<int>{0x0000, 0x4020}));
}

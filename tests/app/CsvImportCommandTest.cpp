// Read From CSV on the whole application: real views in their formats, real files, messages.
#include "ModalAnswerer.h"
#include "app/CKelvaro32App.h"
#include "app/CMainFrame.h"
#include "app/CommandIds.h"
#include "document/CKelvaro32Doc.h"
#include "view/CKelvaro32View.h"
#include "view/CsvImport.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class CsvCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppOptions o;
        o.settingsFolder = dir.path().toStdString() + "/Orvane";
        o.executablePath = dir.path().toStdString() + "/kelvaro64";
        app = std::make_unique<CKelvaro32App>(o);
        ASSERT_TRUE(app->InitInstance({}));
        frame = app->mainFrame;
    }
    std::string Write(const std::string& name, const QByteArray& text)
    {
        const QString path = dir.path() + "/" + QString::fromStdString(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        return path.toStdString();
    }
    CKelvaro32Doc* Doc(int format)
    {
        CKelvaro32Doc* doc = app->NewDocument();
        dynamic_cast<CKelvaro32View*>(doc->Views().front())->SetDisplayFormat(format);
        return doc;
    }

    QTemporaryDir dir;
    std::unique_ptr<CKelvaro32App> app;
    CMainFrame* frame = nullptr;
};

TEST_F(CsvCommand, EveryViewTakesTheLineInItsOwnFormat)
{
    CKelvaro32Doc* decimal = Doc(kDecimal);
    CKelvaro32Doc* floats = Doc(kFloat);
    CKelvaro32Doc* enron = Doc(kEnronLong);
    ModalAnswerer answers;
    answers.File(QString::fromStdString(Write("values.csv", "Address,Value\r\n40001,123.5\r\n40003,-1")));
    ASSERT_TRUE(frame->RunCommand(cmd::ReadFromCsv));
    EXPECT_TRUE(answers.Done());
    EXPECT_EQ(decimal->Word(0), 123);
    EXPECT_EQ(decimal->Word(2), 0xFFFF);   // the last line has no line end
    EXPECT_EQ(floats->Word(1), 0x42F7);
    EXPECT_EQ(floats->Word(3), 0xBF80);
    EXPECT_EQ(enron->Word(0), 0);
    EXPECT_FALSE(decimal->IsModified());
    EXPECT_EQ(answers.messages, QStringList{});
}

TEST_F(CsvCommand, ALongLineStopsTheImportAndNamesTheLine)
{
    CKelvaro32Doc* doc = Doc(kDecimal);
    const std::string path = Write("long.csv", "40001,1\n\n40002,2\n" + QByteArray(120, '7') + "\n40003,3\n");
    ModalAnswerer answers;
    answers.Message();
    EXPECT_FALSE(ReadFromCsvFile(*frame, path));
    ASSERT_EQ(answers.messages.size(), 1);
    EXPECT_TRUE(answers.messages[0].startsWith("Line 4 ")) << answers.messages[0].toStdString();
    EXPECT_EQ(doc->Word(1), 2);
    EXPECT_EQ(doc->Word(2), 0);

    answers.Message();
    EXPECT_FALSE(ReadFromCsvFile(*frame, dir.path().toStdString() + "/missing.csv"));
    EXPECT_EQ(answers.messages.back(), "File Open Error");
}

} // namespace

// The desktop program at exit: settings it could not write are told to the user once, with each
// file and the reason; the original saved without a word and lost them.
#include "app/CKelvaro32App.h"

#include "ModalAnswerer.h"
#include "ScratchDir.h"
#include "TestApp.h"
#include <fstream>
#include <gtest/gtest.h>

namespace {

TEST(SettingsAtExit, AFailedSaveIsToldOnceWithEachFileAndWhy)
{
    ScratchDir dir;
    std::ofstream(dir.Path() + "/plain") << "x";
    struct Case { const char* name; std::string folder; int messages; };
    const Case cases[] = {
        {"the folder lies inside a plain file", dir.Path() + "/plain/Orvane", 1},
        {"a usable folder", dir.Path() + "/fine/Orvane", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppOptions o = TestAppOptions(dir.Path());
        o.settingsFolder = c.folder;
        o.saveSettings = true;
        CKelvaro32App app(o);
        ASSERT_TRUE(app.InitInstance({}));
        ModalAnswerer answers;
        if (c.messages)
            answers.Message();
        app.Shutdown();
        app.Shutdown();   // as the destructor does: nothing is saved or told twice
        ASSERT_EQ(answers.messages.size(), c.messages);
        EXPECT_EQ(answers.unexpected, 0);
        EXPECT_EQ(app.SettingsFailures().size(), c.messages ? 3u : 0u);
        for (const char* file : {"kv64comm2.cfg", "kelvaro64.ali", "kelvaro64.ports"}) {
            if (c.messages) {
                EXPECT_TRUE(answers.messages[0].contains(QString("%1/%2: Not a directory")
                                                             .arg(QString::fromStdString(c.folder), file)))
                    << answers.messages[0].toStdString();
            } else {
                EXPECT_TRUE(std::ifstream(c.folder + "/" + file).good()) << file;
            }
        }
    }
}

} // namespace

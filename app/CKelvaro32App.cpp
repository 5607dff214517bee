#include "app/CKelvaro32App.h"

#include "app/CChildFrame.h"
#include "app/CMainFrame.h"
#include "app/CommandLine.h"
#include "app/TestConfig.h"
#include "automation/AutomationServer.h"
#include "document/CKelvaro32Doc.h"
#include "document/IniDefaults.h"
#include "view/CKelvaro32View.h"

#include <QApplication>
#include <QFont>
#include <QMdiArea>

CKelvaro32App* CKelvaro32App::instance_ = nullptr;

CKelvaro32App::CKelvaro32App(AppOptions options)
    : options_(std::move(options)), engine_(std::make_unique<pomrel::ProtocolEngine>())
{
    instance_ = this;
}

CKelvaro32App::~CKelvaro32App()
{
    Shutdown();
    engine_.reset();
    if (instance_ == this)
        instance_ = nullptr;
}

std::string CKelvaro32App::IniPath() const
{
    return IniPathBesideExecutable(options_.executablePath);
}

bool CKelvaro32App::InitInstance(const std::vector<std::string>& args)
{
    // "Courier" means the same fixed-pitch face on every machine, whatever fonts are installed.
    QFont::insertSubstitutions("Courier", {"DejaVu Sans Mono", "Liberation Mono", "Courier New"});

    mainFrameOwner_ = std::make_unique<CMainFrame>(*this);
    if (!mainFrameOwner_->Create())
        return false;

    const StartRequest request = ParseCommandLine(args);
    if (request.automation) {
        hidden_ = true;
        // Hidden and unreachable would run for ever: only an explicit port 0 keeps it.
        return StartAutomationServer(*this) || AutomationSwitchedOff(*this);
    }
    if (!options_.headless) {
        mainFrameOwner_->resize(900, 640);
        mainFrameOwner_->show();
        mainFrameOwner_->repaint();
    }
    if (!request.testConfigPath.empty())
        RestoreTestConfig(*mainFrameOwner_, request.testConfigPath);
    StartAutomationServer(*this);
    return true;
}

void CKelvaro32App::Shutdown()
{
    StopAutomationServer();
    if (!mainFrameOwner_)
        return;
    for (CChildFrame* child : mainFrameOwner_->Children())
        delete child;
    mainFrameOwner_->CloseAllConnections();
    mainFrameOwner_.reset();
}

CChildFrame* CKelvaro32App::CreateDocumentWindow()
{
    DocumentContext context;
    context.openDocuments = &openDocuments_;
    context.iniPath = IniPath();
    context.defaults = mainFrame ? &mainFrame->Look() : nullptr;
    auto doc = std::make_unique<CKelvaro32Doc>(context);
    doc->title = "Kelvaro" + std::to_string(++untitledCount_);
    auto* child = new CChildFrame(std::move(doc));
    if (mainFrame)
        mainFrame->AddChild(child);
    return child;
}

CKelvaro32Doc* CKelvaro32App::NewDocument()
{
    CChildFrame* child = CreateDocumentWindow();
    child->Document()->SetupViews();
    return child->Document();
}

// quillo: sends one mail per start, or serves as its own setup window.
#include "app/Main.h"

#include "app/CommandLine.h"
#include "app/ExitStatus.h"
#include "app/Ui.h"
#include "platform/CodePage.h"
#include "platform/ProgramFolder.h"
#include "platform/Regional.h"

#include <clocale>
#include <exception>

int main(int argc, char** argv) {
    using namespace quillo;
    std::setlocale(LC_ALL, "");
    // The code page and the regional formats are fixed at start.
    SystemCodePage();
    RegionalFormats();

    const std::unique_ptr<Ui> ui = CreateUi();
    try {
        TfrmMain frmMain(*ui, CommandLineItems(argc, argv), ProgramFolder());
        frmMain.Create();
        frmMain.Show();
        return frmMain.ExitStatus;
    } catch (const Exception& e) {
        ui->ShowException(e.Message());
    } catch (const std::exception& e) {
        ui->ShowException(e.what());
    }
    return exSoftware;
}

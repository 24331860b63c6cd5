#include "app/Ui.h"

#include "app/Main.h"
#include "platform/CodePage.h"
#include "platform/ProgramFolder.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace quillo {

std::string Ui::WithFullStop(std::string_view Message) {
    std::string text(Message);
    if (text.empty()) return text;
    std::size_t last = 0;
    for (std::size_t pos = 0; pos < text.size(); pos += CharLength(text, pos))
        last = pos;
    if (static_cast<unsigned char>(text[last]) > static_cast<unsigned char>('.')) text += '.';
    return text;
}

namespace {

void Err(const std::string& Text) {
    std::fwrite(Text.data(), 1, Text.size(), stderr);
    std::fflush(stderr);
}

} // namespace

void TConsoleUi::MessageBox(const std::string& Text, const std::string& Caption, TMsgIcon) {
    Err(Caption + ": " + Text + "\n");
}

void TConsoleUi::ErrorBox(const std::string& Text) {
    Err("quillo: " + Text + "\n");
}

void TConsoleUi::Beep() {
    if (::isatty(STDERR_FILENO)) Err("\a");
}

void TConsoleUi::RunSetup(TfrmMain& Form) {
    Err("quillo: no setup window can be shown (no display, or no window module); the "
        "settings are saved as they are.\n"
        "usage: quillo recipient subject body [attachment]\n"
        "       quillo recipient subject -f=file [attachment]\n"
        "settings: " +
        Form.IniPath() + "\n");
    Form.btnCloseClick(&Form);
}

void TConsoleUi::ShowAbout(TfrmMain& Form) {
    Err("Quillo  V1.05\n"
        "usage: quillo recipient subject body [attachment]\n"
        "       quillo recipient subject -f=file [attachment]\n"
        "port: " +
        std::to_string(Form.NMSMTP1.Port) + "\n");
}

bool DisplayAvailable() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* v = std::getenv(name);
        if (v && *v) return true;
    }
    return false;
}

namespace {

// The console until a window is needed; then the window module, when it can be had.
class TUiHost : public Ui {
public:
    void MessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon) override {
        Windowed().MessageBox(Text, Caption, Icon);
    }
    void ErrorBox(const std::string& Text) override { Windowed().ErrorBox(Text); }
    void Beep() override { (gui_ ? *gui_ : static_cast<Ui&>(console_)).Beep(); }
    void RunSetup(TfrmMain& Form) override { Windowed().RunSetup(Form); }
    void ShowAbout(TfrmMain& Form) override { Windowed().ShowAbout(Form); }

private:
    Ui& Windowed() {
        if (!tried_) {
            tried_ = true;
            if (DisplayAvailable()) gui_.reset(LoadModule());
        }
        return gui_ ? *gui_ : static_cast<Ui&>(console_);
    }

    static Ui* LoadModule() {
        const std::string path = JoinPath(ExecutableFolder(), GuiModuleName);
        // Never unloaded: the toolkit keeps state until the process ends.
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            Err("quillo: no window module (" + std::string(::dlerror()) + "); using the console\n");
            return nullptr;
        }
        auto factory = reinterpret_cast<TGuiFactory>(::dlsym(handle, GuiFactorySymbol));
        Ui* ui = factory ? factory() : nullptr;
        if (!ui) Err("quillo: the window module could not start; using the console\n");
        return ui;
    }

    TConsoleUi console_;
    std::unique_ptr<Ui> gui_;
    bool tried_ = false;
};

} // namespace

std::unique_ptr<Ui> CreateUi() {
    return std::make_unique<TUiHost>();
}

} // namespace quillo

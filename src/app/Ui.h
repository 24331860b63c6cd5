// The seam between the main window's behaviour and the screen. TfrmMain talks to the user
// only through this interface; the console implementation writes to stderr and never waits,
// and a window toolkit module can stand in for it without TfrmMain knowing.
//
// Every text handed over is in the system code page.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quillo {

class TfrmMain;

enum class TMsgIcon { Error, Warning, Information };

class Ui {
public:
    virtual ~Ui() = default;

    // A box with Text, the title Caption, the icon and a single OK button; returns when the
    // user has closed it (the console returns at once).
    virtual void MessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon) = 0;
    // The application's error box: Text as given, the title "quillo", the error icon, OK.
    virtual void ErrorBox(const std::string& Text) = 0;
    // The system's default sound.
    virtual void Beep() = 0;
    // Shows Form as the setup window and returns once it has been closed; closing goes
    // through Form.Close(), which saves the settings.
    virtual void RunSetup(TfrmMain& Form) = 0;
    // The About dialog, modal; it edits Form.NMSMTP1.Port.
    virtual void ShowAbout(TfrmMain& Form) = 0;

    // An exception's message in the application's error box, with the full stop rule.
    void ShowException(std::string_view Message) { ErrorBox(WithFullStop(Message)); }

    // Message + "." when its last character sorts above "." (compared as bytes, a multibyte
    // character by its first byte); an empty message stays empty.
    static std::string WithFullStop(std::string_view Message);
};

// Writes to stderr and never waits for anyone.
class TConsoleUi : public Ui {
public:
    void MessageBox(const std::string& Text, const std::string& Caption, TMsgIcon Icon) override;
    void ErrorBox(const std::string& Text) override;
    // A BEL on stderr when stderr is a terminal, else nothing.
    void Beep() override;
    // Says on stderr that no window can open, with the usage and the settings file's path,
    // then closes the form as if the user had closed the window.
    void RunSetup(TfrmMain& Form) override;
    void ShowAbout(TfrmMain& Form) override;
};

// True when a window can be shown: QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY is set.
bool DisplayAvailable();

// File name of the window module, looked for in the program's own folder.
inline constexpr const char* GuiModuleName = "libquillo-gui.so";
// The module's one export: extern "C" quillo::Ui* quillo_create_ui(); it returns a new Ui
// (owned by the caller) or null when it cannot start.
inline constexpr const char* GuiFactorySymbol = "quillo_create_ui";
using TGuiFactory = Ui* (*)();

// The program's Ui: the console one, which hands over to the window module the first time a
// window or a box must be shown while a display is available. If the module is missing or
// fails to load, the console stays in charge and a one-line notice goes to stderr. A beep
// alone never loads the module, so a send run costs no toolkit start-up.
std::unique_ptr<Ui> CreateUi();

} // namespace quillo

// The main window's behaviour: the send run at creation, the settings, the send log, the
// encoding of the message and the send-start handler. It reaches the screen only through Ui;
// a window toolkit binds its widgets to the public fields below.
#pragma once

#include "app/Ui.h"
#include "platform/Classes.h"
#include "platform/StringList.h"
#include "smtp/Nmsmtp.h"

#include <string>
#include <string_view>
#include <vector>

namespace quillo {

struct TEdit {
    std::string Text;
};

struct TCheckBox {
    bool Checked = false;
};

// The hidden line buffer: a text becomes lines at each CR LF (an empty last piece is no
// line, a lone CR or LF stays in its line), and lines become a text each followed by CR LF.
// Lines have no length limit.
struct TMemo {
    TStringList Lines;
    std::string Text() const { return Lines.Text(); }
    void SetText(std::string_view Value) { Lines.SetText(Value); }
};

enum TWindowState { wsNormal, wsMinimized, wsMaximized };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

class TfrmMain : public TComponent {
public:
    // Args are the run's arguments, argv[1..] with empty items dropped. Settings and log live
    // in Folder (the program's folder or QUILLO_HOME).
    TfrmMain(Ui& AUi, std::vector<std::string> Args, std::string Folder);

    TEdit edtHost;
    TEdit edtUser;
    TEdit edtAddress;
    TEdit edtName;
    TEdit edtBcc;
    TCheckBox chkErrWarn;
    TNMSMTP NMSMTP1;
    TMemo Memo1;
    int bDone = 0;
    int bAttached = 0;

    TWindowState WindowState = wsNormal;
    bool Visible = false;
    // What the program exits with once this window has closed.
    int ExitStatus = 0;

    // Handlers.
    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    void FormClose(TObject* Sender, TCloseAction& Action);
    void btnCloseClick(TObject* Sender);
    void Image1Click(TObject* Sender);
    void NMSMTP1SendStart(TObject* Sender);
    // Appends one line for a failure to the send log; a failure to write it is silent.
    void WriteLog(const std::string& Msg);

    // The window's life. Create runs FormCreate as the window's creation does: an exception
    // that leaves it is shown in the application's error box and creation completes. Show
    // runs FormShow and, unless that closed the window, shows it as the setup window until
    // it is closed. Close runs FormClose and closes the window.
    void Create();
    void Show();
    void Close();
    bool Closed() const { return closed_; }

    int ParamCount() const { return static_cast<int>(args_.size()); }
    // Argument Index, counted from 1.
    const std::string& ParamStr(int Index) const {
        return args_.at(static_cast<std::size_t>(Index - 1));
    }
    const std::vector<std::string>& Params() const { return args_; }
    std::string IniPath() const;
    std::string LogPath() const;

    // The settings file's section and keys.
    void ReadSettings();
    void WriteSettings();

private:
    enum class TFailure { Attachment, Connect, SendMail, Disconnect };
    void Report(TFailure Failure);
    void Encode(const std::string& BodyText);

    Ui& ui_;
    // Reply number of a refused HELO; the QUIT that follows the refusal overwrites the
    // client's own.
    int heloReply_ = 0;
    std::vector<std::string> args_;
    std::string folder_;
    bool closed_ = false;
};

} // namespace quillo

#include "app/Main.h"

#include "app/CommandLine.h"
#include "app/ExitStatus.h"
#include "app/SendLog.h"
#include "kanji/Kanji.h"
#include "platform/CodePage.h"
#include "platform/IniFile.h"
#include "platform/ProgramFolder.h"
#include "platform/Regional.h"

#include <climits>
#include <ctime>

namespace quillo {

namespace {

constexpr const char* Section = "Setup";
// Text values are read through a 256-byte area: at most 255 bytes.
constexpr std::size_t ValueArea = 256;
// "Subject: " precedes the encoded subject on its first line.
constexpr std::size_t SubjectPrefixLength = 9;

struct TFailureTexts {
    const char* Box; // shown when the error switch is clear
    const char* Log; // logged when it is ticked
};

// The program's own texts, kept in UTF-8 and converted to the code page where shown.
const TFailureTexts FailureTexts[] = {
    {"添付ﾌｧｲﾙが見当たりません", "添付ﾌｧｲﾙが見つからない"},
    {"接続失敗", "接続失敗"},
    {"送信失敗", "送信失敗"},
    {"切断失敗", "切断失敗"},
};

} // namespace

TfrmMain::TfrmMain(Ui& AUi, std::vector<std::string> Args, std::string Folder)
    : NMSMTP1(this), ui_(AUi), args_(std::move(Args)), folder_(std::move(Folder)) {
    // The client as the window's design has it.
    NMSMTP1.Port = 25;
    NMSMTP1.ReportLevel = 0;
    NMSMTP1.EncodeType = uuMime;
    NMSMTP1.ClearParams = true;
    NMSMTP1.SubType = mtPlain;
    NMSMTP1.Charset = "us-ascii";
    NMSMTP1.OnSendStart = [this](TObject* Sender) { NMSMTP1SendStart(Sender); };
    // Only notes why HELO was refused: Handled stays false, so the client fails as it would
    // without a handler.
    NMSMTP1.OnAuthenticationFailed = [this](bool&) { heloReply_ = NMSMTP1.ReplyNumber; };
}

std::string TfrmMain::IniPath() const {
    return JoinPath(folder_, "quillo.ini");
}
std::string TfrmMain::LogPath() const {
    return JoinPath(folder_, "quillo.log");
}

void TfrmMain::ReadSettings() {
    const std::string path = IniPath();
    edtHost.Text = GetPrivateProfileString(Section, "host", "", ValueArea, path);
    edtUser.Text = GetPrivateProfileString(Section, "user", "", ValueArea, path);
    edtAddress.Text = GetPrivateProfileString(Section, "address", "", ValueArea, path);
    edtName.Text = GetPrivateProfileString(Section, "name", "", ValueArea, path);
    edtBcc.Text = GetPrivateProfileString(Section, "bcc", "", ValueArea, path);
    chkErrWarn.Checked = GetPrivateProfileInt(Section, "errdlg", 1, path) != 0;
    NMSMTP1.Port = GetPrivateProfileInt(Section, "port", 25, path);
    // Optional, never written: seconds per network wait; missing or 0 means none.
    const int timeout = GetPrivateProfileInt(Section, "timeout", 0, path);
    NMSMTP1.TimeOut =
        timeout > 0 ? (timeout > INT_MAX / 1000 ? INT_MAX / 1000 : timeout) * 1000 : 0;
}

void TfrmMain::WriteSettings() {
    const std::string path = IniPath();
    WritePrivateProfileString(Section, "host", edtHost.Text, path);
    WritePrivateProfileString(Section, "user", edtUser.Text, path);
    WritePrivateProfileString(Section, "address", edtAddress.Text, path);
    WritePrivateProfileString(Section, "name", edtName.Text, path);
    WritePrivateProfileString(Section, "bcc", edtBcc.Text, path);
    WritePrivateProfileString(Section, "errdlg", chkErrWarn.Checked ? "1" : "0", path);
    WritePrivateProfileString(Section, "port", std::to_string(NMSMTP1.Port), path);
}

void TfrmMain::Report(TFailure Failure) {
    const TFailureTexts& t = FailureTexts[static_cast<int>(Failure)];
    // Exactly one of the two: the log line, or the box.
    if (chkErrWarn.Checked)
        WriteLog(FromUtf8(t.Log));
    else
        ui_.MessageBox(FromUtf8(t.Box), "Quillo", TMsgIcon::Error);
}

void TfrmMain::WriteLog(const std::string& Msg) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    AppendLine(LogPath(), LogLine(DateTimeText(local, RegionalFormats()), args_, Msg));
}

void TfrmMain::Encode(const std::string& BodyText) {
    TPostMessage& msg = NMSMTP1.PostMessage;
    kanji::SetOption("j");

    // The body goes through the line buffer: converted whole, then split into lines.
    Memo1.SetText(BodyText);
    Memo1.SetText(kanji::Convert(Memo1.Text()));
    msg.SetLinesBody(Memo1.Lines);

    // Header texts are converted, then encoded to stand in their header line.
    msg.FromName = kanji::EncodeDisplayName(kanji::Convert(edtName.Text), msg.FromAddress);
    msg.Subject = kanji::EncodeHeader(kanji::Convert(ParamStr(2)), SubjectPrefixLength);
}

void TfrmMain::NMSMTP1SendStart(TObject*) {
    // A multipart message keeps its header as assembled.
    if (bAttached == 1) return;
    Memo1.Lines.Assign(NMSMTP1.FinalHeader);
    const int count = Memo1.Lines.Count();
    for (int i = 0; i < count; ++i) {
        // Case matters: only "Content-Type" exactly, as the first 12 characters.
        if (Memo1.Lines[i].size() >= 12 && Memo1.Lines[i].compare(0, 12, "Content-Type") == 0) {
            Memo1.Lines[i] = "Content-Type: text/plain; charset=iso-2022-jp";
            break;
        }
    }
    NMSMTP1.FinalHeader.Assign(Memo1.Lines);
}

void TfrmMain::FormCreate(TObject*) {
    ReadSettings();
    bDone = 0;
    bAttached = 0;

    const int count = ParamCount();
    if (edtHost.Text.empty() || (count != 3 && count != 4)) {
        ExitStatus = SetupExitStatus(count, !edtHost.Text.empty());
        return;
    }

    TPostMessage& msg = NMSMTP1.PostMessage;
    if (count == 4) {
        if (!PathExists(ParamStr(4))) {
            Report(TFailure::Attachment);
            ExitStatus = exNoInput;
            bDone = 1;
            return;
        }
        Memo1.Lines.Add(ParamStr(4));
        msg.SetLinesAttachments(Memo1.Lines);
        bAttached = 1;
    }

    NMSMTP1.Host = edtHost.Text;
    NMSMTP1.UserID = edtUser.Text;
    try {
        NMSMTP1.Connect();
    } catch (const Exception& e) {
        ExitStatus = ExitStatusFor(TRunStep::Connect, e, heloReply_);
        Report(TFailure::Connect);
        bDone = 1;
        return;
    }

    msg.FromAddress = edtAddress.Text;
    msg.LocalProgram = "Quillo";
    msg.ToAddress.Add(ParamStr(1));
    msg.ToBlindCarbonCopy.Add(edtBcc.Text);
    // Every message needs a Date line; the client never makes one itself.
    msg.Date = Rfc5322Date(std::time(nullptr));

    Memo1.Lines.Clear();
    std::string body;
    try {
        body = BodyText(ParamStr(3));
    } catch (const EFOpenError&) {
        // Left to the window's creation, which shows it; the setup window follows.
        ExitStatus = exNoInput;
        throw;
    }
    Encode(body);

    try {
        NMSMTP1.SendMail();
    } catch (const Exception& e) {
        ExitStatus = ExitStatusFor(TRunStep::SendMail, e, NMSMTP1.ReplyNumber);
        Report(TFailure::SendMail);
        bDone = 1;
        return;
    }

    try {
        NMSMTP1.Disconnect();
    } catch (const Exception& e) {
        ExitStatus = ExitStatusFor(TRunStep::Disconnect, e, NMSMTP1.ReplyNumber);
        Report(TFailure::Disconnect);
        bDone = 1;
        return;
    }

    bDone = 1;
    ExitStatus = exOk;
    ui_.Beep();
}

void TfrmMain::FormShow(TObject*) {
    if (bDone == 1) {
        WindowState = wsMinimized;
        Close();
    }
}

void TfrmMain::FormClose(TObject*, TCloseAction&) {
    if (bDone == 1) return;
    WriteSettings();
}

void TfrmMain::btnCloseClick(TObject*) {
    Close();
}

void TfrmMain::Image1Click(TObject*) {
    ui_.ShowAbout(*this);
}

void TfrmMain::Create() {
    try {
        FormCreate(this);
    } catch (const std::exception& e) {
        const auto* ex = dynamic_cast<const Exception*>(&e);
        if (ExitStatus == exOk) ExitStatus = exSoftware;
        ui_.ShowException(ex ? ex->Message() : std::string(e.what()));
    }
}

void TfrmMain::Show() {
    Visible = true;
    FormShow(this);
    if (closed_) return;
    ui_.RunSetup(*this);
    // The window is gone once the setup session returns, however it ended.
    if (!closed_) Close();
}

void TfrmMain::Close() {
    if (closed_) return;
    TCloseAction action = caFree;
    FormClose(this, action);
    if (action == caNone) return;
    closed_ = true;
    Visible = false;
}

} // namespace quillo

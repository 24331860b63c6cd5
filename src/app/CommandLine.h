// The command line and the body text of a run.
#pragma once

#include "platform/CodePage.h"

#include <string>
#include <string_view>
#include <vector>

namespace quillo {

// The arguments of a run: argv[1..] as the caller split them. An empty item is dropped, as an
// empty quoted argument disappears from a command line that the program splits itself.
std::vector<std::string> CommandLineItems(int argc, const char* const* argv);

// Every CR LF, lone CR and lone LF made CR LF. The text is walked character by character in
// the code page, so the second byte of a double-byte character is never taken for a break.
std::string MakeCrLf(std::string_view Text, const TCodePage& Cp = SystemCodePage());

// The body text for the third argument: with the prefix "-f=" (compared exactly), the whole
// content of the file named by the rest, with CR LF line ends; otherwise the argument with
// CR LF line ends, followed by CR LF. The file is opened for reading and shared with readers
// only (a writer holding an exclusive lock makes it fail). A file that cannot be opened
// raises EFOpenError with the platform's message.
std::string BodyText(const std::string& Argument, const TCodePage& Cp = SystemCodePage());

// True when Path names an existing entry of the file system, file or directory.
bool PathExists(const std::string& Path);

} // namespace quillo

// Where the program keeps its settings and log.
#pragma once

#include <string>
#include <string_view>

namespace quillo {

// The folder of the running program's file (/proc/self/exe), without a trailing "/" except
// for the root folder.
std::string ExecutableFolder();
// QUILLO_HOME when it is set and not empty, otherwise the program's folder.
std::string ProgramFolder();
// Folder and name joined with "/".
std::string JoinPath(std::string_view Folder, std::string_view Name);

} // namespace quillo

// The send log: one line per failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillo {

// "<date time>,<arg 1>,...,<arg n>,<message>" and a line end, every LF (the closing one and
// any inside an argument) written as CR LF. No quoting: a comma in an argument stays as is.
std::string LogLine(std::string_view DateTime, const std::vector<std::string>& Args,
                    std::string_view Message);

// Appends Line to the file with one write in append mode, creating the file when it is
// missing, so that lines of processes failing at the same moment neither interleave nor get
// lost. Returns false when it cannot; the caller reports nothing.
bool AppendLine(const std::string& Path, std::string_view Line);

} // namespace quillo

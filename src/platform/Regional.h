// Regional date and time formats, and the date-time text of the send log.
#pragma once

#include <ctime>
#include <string>

namespace quillo {

// strftime formats for the short date and the time of day.
struct TRegionalFormats {
    std::string ShortDate;
    std::string Time;
};

// The Japanese edition's defaults: date yyyy/mm/dd, time h:nn:ss on a 24-hour clock.
TRegionalFormats DefaultRegionalFormats();

// The formats of the current LC_TIME locale (call setlocale first). The C, POSIX and C.UTF-8
// locales carry no regional preference and give the defaults. A space-padded hour (%k, %l)
// counts as an hour without a leading zero.
TRegionalFormats RegionalFormatsFromLocale();

// Read once, when the program starts; later calls give the same formats.
const TRegionalFormats& RegionalFormats();
// Replaces the formats read at start (tests).
void SetRegionalFormats(TRegionalFormats Formats);

// The date, then, unless hour, minute and second are all 0, a blank and the time.
std::string DateTimeText(const std::tm& When, const TRegionalFormats& Formats);

// The local time in the form of an Internet mail Date line: "Thu, 11 Dec 2026 09:05:03 +0900".
std::string Rfc5322Date(std::time_t When);

} // namespace quillo

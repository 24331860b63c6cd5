#include "platform/Regional.h"

#include <clocale>
#include <cstring>
#include <langinfo.h>
#include <optional>
#include <vector>

namespace quillo {

namespace {

std::optional<TRegionalFormats>& Current() {
    static std::optional<TRegionalFormats> formats;
    return formats;
}

bool IsNeutralLocale(const char* name) {
    if (!name) return true;
    for (const char* n : {"C", "POSIX", "C.UTF-8", "C.utf8"})
        if (std::strcmp(name, n) == 0) return true;
    return false;
}

// A space-padded hour is shown without its padding.
std::string Unpadded(std::string Fmt) {
    std::string out;
    for (std::size_t i = 0; i < Fmt.size(); ++i) {
        if (Fmt[i] == '%' && i + 1 < Fmt.size()) {
            const char c = Fmt[i + 1];
            if (c == 'k')
                out += "%-H";
            else if (c == 'l')
                out += "%-I";
            else {
                out += '%';
                out += c;
            }
            ++i;
        } else {
            out += Fmt[i];
        }
    }
    return out;
}

std::string Format(const std::string& Fmt, const std::tm& When) {
    if (Fmt.empty()) return {};
    std::vector<char> buf(256);
    while (buf.size() <= 65536) {
        const std::size_t n = std::strftime(buf.data(), buf.size(), Fmt.c_str(), &When);
        if (n > 0) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
    return {};
}

} // namespace

TRegionalFormats DefaultRegionalFormats() {
    return {"%Y/%m/%d", "%-H:%M:%S"};
}

TRegionalFormats RegionalFormatsFromLocale() {
    if (IsNeutralLocale(std::setlocale(LC_TIME, nullptr))) return DefaultRegionalFormats();
    TRegionalFormats f;
    f.ShortDate = Unpadded(nl_langinfo(D_FMT));
    f.Time = Unpadded(nl_langinfo(T_FMT));
    if (f.Time.empty()) f.Time = Unpadded(nl_langinfo(T_FMT_AMPM));
    const TRegionalFormats d = DefaultRegionalFormats();
    if (f.ShortDate.empty()) f.ShortDate = d.ShortDate;
    if (f.Time.empty()) f.Time = d.Time;
    return f;
}

const TRegionalFormats& RegionalFormats() {
    auto& f = Current();
    if (!f) f = RegionalFormatsFromLocale();
    return *f;
}

void SetRegionalFormats(TRegionalFormats Formats) {
    Current() = std::move(Formats);
}

std::string DateTimeText(const std::tm& When, const TRegionalFormats& Formats) {
    std::string text = Format(Formats.ShortDate, When);
    if (When.tm_hour != 0 || When.tm_min != 0 || When.tm_sec != 0) {
        text += ' ';
        text += Format(Formats.Time, When);
    }
    return text;
}

std::string Rfc5322Date(std::time_t When) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    localtime_r(&When, &tm);
    long off = tm.tm_gmtoff / 60;
    const char sign = off < 0 ? '-' : '+';
    if (off < 0) off = -off;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  days[tm.tm_wday % 7], tm.tm_mday, months[tm.tm_mon % 12], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, sign, off / 60, off % 60);
    return buf;
}

} // namespace quillo

// Converter throughput on typical Japanese text, beside the C library's iconv.
//   bench_kanji [SIZE_MIB] [ROUNDS] [--write DIR]
// Makes SIZE_MIB (default 16) of text from a fixed mix of kanji, kana, ASCII and a little
// halfwidth katakana, in UTF-8 and CP932, and times the conversion to ISO-2022-JP of each.
// iconv cannot convert halfwidth katakana (nor the CP932 forms of the wave dash family) to
// ISO-2022-JP, so the comparison runs on a second text without them; there our output must
// equal iconv's byte for byte. --write leaves the CP932 texts in DIR for the iconv command.
#include "kanji/Kanji.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iconv.h>
#include <random>
#include <string>
#include <vector>

using namespace quillo;

namespace {

// Pieces of a business mail; the halfwidth ones are left out of the iconv text.
const char* const Common[] = {
    "お世話になっております。",
    "株式会社山田商事の田中です。",
    "先日の会議の件について、ご連絡いたします。",
    "次回の打ち合わせは",
    "2024年6月11日(火) 14:00～15:30",
    "に変更となりました。",
    "資料は添付ファイルをご確認ください。",
    "ご不明な点がございましたら、お気軽にお問い合わせください。",
    "よろしくお願いいたします。",
    "Project status: OK, build #1234 passed.",
    "見積書(No. 2024-0611)を送付いたします。",
    "東京都千代田区丸の内1-2-3 〒100-0005",
    "TEL: 03-1234-5678 / FAX: 03-1234-5679",
    "ｶﾀｶﾅ ﾃｽﾄ ﾃﾞｰﾀ ﾊﾟｿｺﾝ",
    "「重要」本件は至急ご確認ください。",
    "以上、宜しくお願い申し上げます。",
};

std::string MakeText(std::size_t Bytes, bool IconvSafe) {
    std::mt19937 g(611);
    std::vector<std::string> pieces;
    for (const char* p : Common) {
        std::string s = p;
        if (IconvSafe) {
            if (s.find("ﾃｽﾄ") != std::string::npos) continue;
            // Neither Unicode form of the wave dash survives iconv's CP932 -> ISO-2022-JP.
            for (std::size_t at; (at = s.find("～")) != std::string::npos;)
                s.replace(at, 3, "-");
        }
        pieces.push_back(s);
    }
    std::string text;
    text.reserve(Bytes + 256);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1), words(1, 3);
    while (text.size() < Bytes) {
        for (std::size_t n = words(g); n > 0; --n)
            text += pieces[pick(g)];
        text += "\r\n";
    }
    return text;
}

std::string Iconv(const char* To, const char* From, const std::string& In) {
    iconv_t cd = iconv_open(To, From);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::perror("iconv_open");
        std::exit(1);
    }
    std::string out(In.size() * 2 + 64, '\0');
    char* in = const_cast<char*>(In.data());
    std::size_t inLeft = In.size();
    char* o = out.data();
    std::size_t oLeft = out.size();
    if (iconv(cd, &in, &inLeft, &o, &oLeft) == static_cast<std::size_t>(-1) ||
        iconv(cd, nullptr, nullptr, &o, &oLeft) == static_cast<std::size_t>(-1)) {
        std::fprintf(stderr, "iconv %s -> %s failed at byte %zu\n", From, To, In.size() - inLeft);
        std::exit(1);
    }
    iconv_close(cd);
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

template <class Fn> double Best(int Rounds, Fn&& Run) {
    double best = 1e9;
    for (int i = 0; i < Rounds; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        Run();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

void Report(const char* What, std::size_t Bytes, int Rounds, double Seconds) {
    std::printf("%-58s best of %d: %.3f s, %5.0f MB/s\n", What, Rounds, Seconds,
                static_cast<double>(Bytes) / Seconds / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    std::size_t mib = 16;
    int rounds = 5;
    std::string dir;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--write" && i + 1 < argc)
            dir = argv[++i];
        else if (positional++ == 0)
            mib = std::strtoul(argv[i], nullptr, 10);
        else
            rounds = std::atoi(argv[i]);
    }
    const std::size_t size = mib << 20;
    const TCodePage cp932 = CodePageOf("CP932"), utf8 = CodePageOf("UTF-8");

    // SIZE_MIB of each: the CP932 texts are cut from longer ones at a line end.
    const std::string typicalUtf8 = MakeText(size, false);
    const std::string safeUtf8 = MakeText(size, true);
    auto Cp932Of = [size](bool IconvSafe) {
        std::string t = Iconv("CP932", "UTF-8", MakeText(size + size / 2, IconvSafe));
        t.resize(t.rfind("\r\n", size - 2) + 2);
        return t;
    };
    const std::string typical = Cp932Of(false);
    const std::string safe = Cp932Of(true);
    if (!dir.empty()) {
        std::ofstream(dir + "/typical.sjis", std::ios::binary) << typical;
        std::ofstream(dir + "/safe.sjis", std::ios::binary) << safe;
    }

    // Same result as iconv where iconv can convert at all.
    const std::string reference = Iconv("ISO-2022-JP", "CP932", safe);
    if (kanji::Convert(safe, cp932) != reference ||
        kanji::Convert(safeUtf8, utf8) != Iconv("ISO-2022-JP", "UTF-8", safeUtf8)) {
        std::fprintf(stderr, "output differs from iconv's\n");
        return 1;
    }
    std::printf("output on the iconv-safe text: identical to iconv -f CP932 -t ISO-2022-JP\n");
    std::printf("input: %zu MiB of each text, %zu lines of CP932 typical text\n", mib,
                static_cast<std::size_t>(std::count(typical.begin(), typical.end(), '\n')));

    kanji::SetOption("j");
    std::size_t sink = 0;
    Report("Convert, CP932, typical text:", typical.size(), rounds,
           Best(rounds, [&] { sink += kanji::Convert(typical, cp932).size(); }));
    Report("Convert, UTF-8, typical text:", typicalUtf8.size(), rounds,
           Best(rounds, [&] { sink += kanji::Convert(typicalUtf8, utf8).size(); }));
    Report("Convert, CP932, iconv-safe text:", safe.size(), rounds,
           Best(rounds, [&] { sink += kanji::Convert(safe, cp932).size(); }));
    Report("Convert, UTF-8, iconv-safe text:", safeUtf8.size(), rounds,
           Best(rounds, [&] { sink += kanji::Convert(safeUtf8, utf8).size(); }));
    Report("iconv(3) CP932 -> ISO-2022-JP, iconv-safe text:", safe.size(), rounds,
           Best(rounds, [&] { sink += Iconv("ISO-2022-JP", "CP932", safe).size(); }));

    // Header encoding is linear too: the whole text as one header value.
    const std::string jis = kanji::Convert(typical, cp932);
    Report("EncodeHeader of the converted typical text:", jis.size(), rounds,
           Best(rounds, [&] { sink += kanji::EncodeHeader(jis, 9).size(); }));
    return sink == 0;
}

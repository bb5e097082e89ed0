#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "CrashReporter/upload/MultipartBody.h"

namespace {

const std::wstring kBoundary = FormatBoundary(0x29, 0x4823);
const std::string kB = "---------------------------0000002900004823";

std::string FilePart(const std::string& part, const std::string& path)
{
    return "--" + kB + "\r\nContent-Disposition: form-data; name=\"" + part + "\"; filename=\"" +
           path + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string Field(const std::string& name, const std::string& value)
{
    return "--" + kB + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
           "\r\n";
}

std::string Prefix(const UploadParameters& fields, const std::wstring& path,
                   const std::wstring& part)
{
    std::string prefix = "untouched";
    EXPECT_TRUE(BuildBodyPrefix(fields, path, part, kBoundary, prefix));
    return prefix;
}

TEST(MultipartBody, BoundaryIsHyphensAndTwoUpperCaseHexNumbers)
{
    EXPECT_EQ(ToUtf8(kBoundary), kB);
    EXPECT_EQ(FormatBoundary(0, 0), L"---------------------------0000000000000000");
    EXPECT_EQ(FormatBoundary(0xABCDEF01u, 0xFFFFFFFFu),
              L"---------------------------ABCDEF01FFFFFFFF");
    EXPECT_EQ(FormatBoundary(0x7FFF, 0x1).size(), kBoundaryLength);
    EXPECT_EQ(std::wstring(kBoundaryHyphens).size(), 27u);
    EXPECT_EQ(ContentTypeHeader(kBoundary),
              L"Content-Type: multipart/form-data; boundary=---------------------------"
              L"0000002900004823");
}

TEST(MultipartBody, PrefixWithoutFieldsIsTheFilePartAlone)
{
    EXPECT_EQ(Prefix({}, L"C:\\dumps\\a b.zip", L"crashdump"),
              FilePart("crashdump", "C:\\dumps\\a b.zip"));
}

TEST(MultipartBody, FieldsFollowTheMapOrderNotTheInsertionOrder)
{
    UploadParameters fields;
    fields.emplace(L"zeta", L"last");
    fields.emplace(L"name", L"middle");
    fields.emplace(L"Zeta", L"upper case sorts first");
    fields.emplace(L"alpha", L"");
    EXPECT_EQ(Prefix(fields, L"d.dmp", L"crashdump"),
              Field("Zeta", "upper case sorts first") + Field("alpha", "") +
                  Field("name", "middle") + Field("zeta", "last") + FilePart("crashdump", "d.dmp"));
}

TEST(MultipartBody, ValuesAndPathsGoOutUnchangedAsUtf8)
{
    UploadParameters fields;
    fields.emplace(L"q", L"say \"hi\"\r\nnext\nline\r--" + kBoundary);
    fields.emplace(L"u", L"Gr\u00fc\u00dfe \u20ac \U0001F600");
    EXPECT_EQ(Prefix(fields, L"Z:\\tmp\\\u0434\u0430\u043c\u043f\\\u00e9.zip", L"file"),
              Field("q", "say \"hi\"\r\nnext\nline\r--" + kB) +
                  Field("u",
                        "Gr\xc3\xbc\xc3\x9f"
                        "e \xe2\x82\xac \xf0\x9f\x98\x80") +
                  FilePart("file", "Z:\\tmp\\\xd0\xb4\xd0\xb0\xd0\xbc\xd0\xbf\\\xc3\xa9.zip"));
}

TEST(MultipartBody, LengthsFollowTheOverheadFormula)
{
    UploadParameters fields;
    fields.emplace(L"name", L"\u00e4pp");  // 4 bytes of value
    fields.emplace(L"version", L"1.2.3");
    const std::wstring path = L"C:\\\u00fcber\\crash.zip";  // 18 bytes of path
    const std::string prefix = Prefix(fields, path, L"crashdump");
    EXPECT_EQ(prefix.size(), (kFieldOverheadBytes + 4 + 4) + (kFieldOverheadBytes + 7 + 5) +
                                 kFilePartOverheadBytes + 9 + 18);
    EXPECT_EQ(Prefix({}, L"p", L"n").size(), kFilePartOverheadBytes + 2);
    EXPECT_EQ(kFieldOverheadBytes, 92u);
    EXPECT_EQ(kFilePartOverheadBytes, 143u);
}

TEST(MultipartBody, PrefixFailsWhenBoundaryPathOrPartNameIsEmpty)
{
    std::string prefix;
    EXPECT_FALSE(BuildBodyPrefix({}, L"", L"crashdump", kBoundary, prefix));
    EXPECT_FALSE(BuildBodyPrefix({}, L"a.zip", L"", kBoundary, prefix));
    EXPECT_FALSE(BuildBodyPrefix({}, L"a.zip", L"crashdump", L"", prefix));
}

TEST(MultipartBody, TrailerClosesTheBodyIn51Bytes)
{
    const std::string trailer = BuildTrailer(kBoundary);
    EXPECT_EQ(trailer, "\r\n--" + kB + "--\r\n");
    EXPECT_EQ(trailer.size(), kTrailerBytes);
    EXPECT_EQ(kTrailerBytes, 51u);
}

TEST(MultipartBody, FieldNamesArePrintableAsciiWithoutQuotes)
{
    EXPECT_TRUE(ValidateFieldNames({}));
    EXPECT_TRUE(ValidateFieldNames({{L"name", L"\"anything\"\r\n\u00e9"}}));
    EXPECT_TRUE(ValidateFieldNames({{L" ~\x7f", L""}, {L"a-b_c.d", L""}}));
    EXPECT_FALSE(ValidateFieldNames({{L"", L"v"}}));
    EXPECT_FALSE(ValidateFieldNames({{L"a\"b", L"v"}}));
    EXPECT_FALSE(ValidateFieldNames({{L"tab\there", L"v"}}));
    EXPECT_FALSE(ValidateFieldNames({{L"line\r\nbreak", L"v"}}));
    EXPECT_FALSE(ValidateFieldNames({{L"\x80", L"v"}}));
    EXPECT_FALSE(ValidateFieldNames({{L"caf\u00e9", L"v"}}));
    EXPECT_FALSE(ValidateFieldNames({{L"good", L"v"}, {L"zz\"", L"v"}}));
}

TEST(MultipartBody, ToUtf8EncodesUpToTheFirstNul)
{
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(ToUtf8(L"plain"), "plain");
    EXPECT_EQ(ToUtf8(L"\u00fc\u20ac"), "\xc3\xbc\xe2\x82\xac");
    EXPECT_EQ(ToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(ToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
    EXPECT_EQ(ToUtf8(std::wstring(L"\0cd", 3)), "");
}

TEST(MultipartBody, AnnouncedLengthRefusesWhatDoesNotFit32Bits)
{
    std::uint32_t total = 7;
    ASSERT_TRUE(AnnouncedBodyLength(200, 0, 51, total));
    EXPECT_EQ(total, 251u);
    ASSERT_TRUE(AnnouncedBodyLength(200, 0xFFFFFFFFull - 251, 51, total));
    EXPECT_EQ(total, 0xFFFFFFFFu);
    total = 7;
    EXPECT_FALSE(AnnouncedBodyLength(200, 0xFFFFFFFFull - 250, 51, total));
    EXPECT_FALSE(AnnouncedBodyLength(200, 0x100000000ull, 51, total));
    EXPECT_FALSE(AnnouncedBodyLength(200, std::numeric_limits<std::uint64_t>::max(), 51, total));
    EXPECT_EQ(total, 7u);
}

TEST(MultipartBody, DecimalTextReadsLikeTheCLibraryAndSaturates)
{
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(ParseDecimal(L"200"), 200);
    EXPECT_EQ(ParseDecimal(L"  12ab"), 12);
    EXPECT_EQ(ParseDecimal(L"+7"), 7);
    EXPECT_EQ(ParseDecimal(L"-5"), -5);
    EXPECT_EQ(ParseDecimal(L"abc"), 0);
    EXPECT_EQ(ParseDecimal(L""), 0);
    EXPECT_EQ(ParseDecimal(L"9223372036854775807"), kMax);
    EXPECT_EQ(ParseDecimal(L"9223372036854775808"), kMax);
    EXPECT_EQ(ParseDecimal(L"18446744073709551616"), kMax);
    EXPECT_EQ(ParseDecimal(L"-9223372036854775808"), kMin);
    EXPECT_EQ(ParseDecimal(L"-99999999999999999999"), kMin);
}

}  // namespace

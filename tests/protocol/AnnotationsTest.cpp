#include <gtest/gtest.h>

#include "CrashProtocol/Annotations.h"

namespace {

TEST(Annotations, ElapsedTimeIsInWholeMilliseconds)
{
    EXPECT_EQ(ElapsedMillisecondsText(15000000), L"1500");  // 1.5 s in 100-ns units
    EXPECT_EQ(ElapsedMillisecondsText(9999), L"0");
    EXPECT_EQ(ElapsedMillisecondsText(10000), L"1");
    EXPECT_EQ(ElapsedMillisecondsText(0xFFFFFFFFFFFFFFFFull), L"1844674407370955");
}

TEST(Annotations, CopyHoldsClientEntriesAndPtimeWithinTheBound)
{
    EXPECT_EQ(AnnotationSlotsFor(0), 1u);
    EXPECT_FALSE(ReadsClientAnnotations(0));
    EXPECT_EQ(AnnotationSlotsFor(3), 4u);
    EXPECT_TRUE(ReadsClientAnnotations(kMaxAnnotationCount));
    EXPECT_EQ(AnnotationSlotsFor(kMaxAnnotationCount), kMaxAnnotationCount + 1u);
    EXPECT_FALSE(ReadsClientAnnotations(kMaxAnnotationCount + 1));
    EXPECT_EQ(AnnotationSlotsFor(0xFFFFFFFF), 1u);
}

TEST(Annotations, TextIsCutToStayTerminated)
{
    wchar_t field[kAnnotationTextUnits];
    SetAnnotationText(field, std::wstring(100, L'x'));
    EXPECT_EQ(std::wstring(field), std::wstring(63, L'x'));
    SetAnnotationText(field, L"ptime");
    EXPECT_STREQ(field, L"ptime");
}

}  // namespace
